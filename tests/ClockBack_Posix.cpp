// LD_PRELOAD library for the tests: sets the wall clock of a program back, as a time service or
// a user may while it runs. Once HANDOVER_CLOCK_BACK_AFTER_MS milliseconds (default 0) have
// passed on the monotonic clock since the library was loaded, every reading of the wall clock
// (clock_gettime of CLOCK_REALTIME, gettimeofday, time) is HANDOVER_CLOCK_BACK_SECONDS (default
// 3600) earlier than it is. The monotonic clock is left as it is.
#include <dlfcn.h>
#include <sys/time.h>
#include <time.h>

#include <cstdlib>

namespace {

using ClockGettime = int (*)(clockid_t, struct timespec*);

ClockGettime RealClockGettime() {
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

long Setting(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtol(value, nullptr, 10) : fallback;
}

struct timespec g_loaded;

__attribute__((constructor)) void RememberLoad() {
    RealClockGettime()(CLOCK_MONOTONIC, &g_loaded);
}

// How far the wall clock is set back now, in seconds.
long SetBack() {
    struct timespec now;
    RealClockGettime()(CLOCK_MONOTONIC, &now);
    const long elapsedMs =
        (now.tv_sec - g_loaded.tv_sec) * 1000 + (now.tv_nsec - g_loaded.tv_nsec) / 1000000;
    return elapsedMs >= Setting("HANDOVER_CLOCK_BACK_AFTER_MS", 0)
               ? Setting("HANDOVER_CLOCK_BACK_SECONDS", 3600)
               : 0;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) noexcept {
    const int result = RealClockGettime()(clock, ts);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
        ts->tv_sec -= SetBack();
    }
    return result;
}

extern "C" int gettimeofday(struct timeval* tv, void*) noexcept {
    struct timespec ts;
    const int result = clock_gettime(CLOCK_REALTIME, &ts);
    if (result == 0) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return result;
}

extern "C" time_t time(time_t* out) noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out != nullptr) {
        *out = ts.tv_sec;
    }
    return ts.tv_sec;
}
