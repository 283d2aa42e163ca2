// The descriptor behind a Directory on POSIX, for the platform layer's parts that act through it.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include "handover/Directory.h"

// Closes the descriptor it owns.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

// Opened with O_RDONLY: it is read for the listing and flushed for the names.
struct Directory::Handle {
    Descriptor fd;
    bool read = false;  // listed before: a listing again starts from the top
};

// The status of what name leads to in the directory open at dir (AT_FDCWD: the working
// directory), links followed: 0 with *st filled, or the error. A link that cannot be followed (a
// loop, a folder on its way that may not be searched, a target too long) leads nowhere, as a
// broken one does: ENOENT.
int FollowedStatus(int dir, const char* name, struct stat* st);
