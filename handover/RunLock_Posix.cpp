#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "handover/RunLock.h"

// flock on the directory itself, so that no lock file appears in the client's tree. The lock
// belongs to the open file description: it goes when the descriptor is closed, by the
// destructor or by the kernel when the process dies, and O_CLOEXEC keeps the client from
// inheriting it.
struct RunLock::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

RunLock::RunLock(const boost::filesystem::path& dir) : handle_(new Handle) {
    handle_->fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle_->fd < 0) {
        status_ = Status::kUnavailable;
        reason_ = std::strerror(errno);
        return;
    }
    if (flock(handle_->fd, LOCK_EX | LOCK_NB) == 0) {
        status_ = Status::kLocked;
        return;
    }
    const int err = errno;
    if (err == EWOULDBLOCK) {
        status_ = Status::kBusy;
        return;
    }
    // ENOLCK, EINVAL, EOPNOTSUPP: some network and FUSE file systems cannot lock at all.
    status_ = Status::kUnavailable;
    reason_ = std::strerror(err);
    handle_.reset();
}

RunLock::~RunLock() = default;
