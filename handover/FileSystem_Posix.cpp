#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>

#include "handover/FileSystem.h"
#include "handover/PosixError.h"

namespace fs = boost::filesystem;

namespace {

// O_NONBLOCK: the listing saw a regular file, but should a FIFO have taken its name since,
// opening it must not wait for a writer.
class OpenFile {
  public:
    OpenFile(const fs::path& path, int flags)
        : fd_(open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NONBLOCK)), err_(errno) {}
    ~OpenFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int fd() const { return fd_; }
    int err() const { return err_; }

  private:
    int fd_;
    int err_;
};

// These say the file system has nothing to write out, not that anything was lost.
bool NothingToFlush(int err) {
    return err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == EROFS;
}

void Flush(const fs::path& path, int flags, const char* operation, int (*flush)(int)) {
    const OpenFile file(path, flags);
    if (file.fd() < 0) {
        ThrowPosixError("open", path, file.err());
    }
    if (flush(file.fd()) != 0 && !NothingToFlush(errno)) {
        ThrowPosixError(operation, path, errno);
    }
}

}  // namespace

void RemoveTarget(const fs::path& target) {
    fs::remove(target);
}

// rename(2) replaces the destination in one step; the directory's flush makes it durable.
void RenameOnto(const fs::path& source, const fs::path& destination) {
    fs::rename(source, destination);
}

void StartFlush(const fs::path& file) {
    const OpenFile open(file, 0);
    if (open.fd() >= 0) {
        sync_file_range(open.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

void FlushContents(const fs::path& file) {
    // The data, and of the metadata only what reading it back needs (its size).
    Flush(file, 0, "fdatasync", fdatasync);
}

void FlushDirectory(const fs::path& dir) {
    Flush(dir, O_DIRECTORY, "fsync", fsync);
}
