// A flush-latency model for the benchmark, loaded with LD_PRELOAD: each fsync, fdatasync and
// syncfs first waits FLUSH_MODEL_MS milliseconds (default 4) and then does its real work, as on
// a disk whose cache flush costs that much. With FLUSH_MODEL_SKIP=1 they do nothing and return 0.
//
// It catches the calls a program makes through its own dynamic symbol table (handover's code,
// coreutils' `sync -f`); calls glibc makes to itself internally bypass it, and none of the
// programs measured makes any. It is written in C so that loading it pulls in no library that
// the programs measured would not load anyway.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef int (*flush_call)(int);

static flush_call real_fsync;
static flush_call real_fdatasync;
static flush_call real_syncfs;
static int skip;
static long long delay_ns = 4000000;

// A model that is not the one asked for would measure the wrong thing: stop the program.
static void fail(const char* what, const char* detail) {
    fprintf(stderr, "flush model: %s%s\n", what, detail);
    _exit(127);
}

static flush_call next(const char* name) {
    flush_call call = (flush_call)dlsym(RTLD_NEXT, name);
    if (call == NULL) {
        fail("no next definition of ", name);
    }
    return call;
}

__attribute__((constructor)) static void read_model(void) {
    const char* skip_text = getenv("FLUSH_MODEL_SKIP");
    skip = skip_text != NULL && strcmp(skip_text, "1") == 0;
    const char* ms_text = getenv("FLUSH_MODEL_MS");
    if (ms_text != NULL && *ms_text != '\0') {
        char* end = NULL;
        errno = 0;
        const double ms = strtod(ms_text, &end);
        if (errno != 0 || *end != '\0' || !(ms >= 0 && ms <= 60000)) {
            fail("FLUSH_MODEL_MS is not a number of milliseconds from 0 to 60000: ", ms_text);
        }
        delay_ns = (long long)(ms * 1e6 + 0.5);
    }
    real_fsync = next("fsync");
    real_fdatasync = next("fdatasync");
    real_syncfs = next("syncfs");
}

// An absolute deadline on the monotonic clock: a signal that interrupts the sleep does not
// restart the whole wait, and a change of the wall clock does not stretch it.
static void wait_delay(void) {
    if (delay_ns == 0) {
        return;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long end_ns = deadline.tv_nsec + delay_ns;
    deadline.tv_sec += (time_t)(end_ns / 1000000000);
    deadline.tv_nsec = (long)(end_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) {
    }
}

static int modelled(flush_call real, int fd) {
    if (skip) {
        return 0;
    }
    wait_delay();
    return real(fd);
}

int fsync(int fd) {
    return modelled(real_fsync, fd);
}

int fdatasync(int fd) {
    return modelled(real_fdatasync, fd);
}

int syncfs(int fd) {
    return modelled(real_syncfs, fd);
}
