#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <utility>

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

void FlushFileSystem(const fs::path& dir) {
    Flush(dir, O_DIRECTORY, "syncfs", syncfs);
}

namespace {

// Before Linux 5.8 syncfs returned 0 even when writing a file out had failed: only a flush of
// each file can then tell that its contents are safe.
bool SyncfsReportsErrors() {
    static const bool reports = [] {
        struct utsname name;
        int major = 0, minor = 0;
        return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
               (major > 5 || (major == 5 && minor >= 8));
    }();
    return reports;
}

// A single staged file costs two device flushes either way (the file and its directory, or the
// file system twice), and flushed on its own it writes out nothing but handover's own files;
// from two on, flushing the file system costs fewer.
constexpr std::size_t kFewestToFlushTogether = 2;

}  // namespace

struct StagedFlush::State {
    // One open staged file on each file system, for syncfs, and the path it was opened by.
    std::map<dev_t, std::pair<int, fs::path>> fileSystems;
    std::set<DirectoryId> files;
    bool flushed = false;

    ~State() {
        for (const auto& [device, file] : fileSystems) {
            close(file.first);
        }
    }
};

StagedFlush::StagedFlush() : state_(new State) {}

StagedFlush::~StagedFlush() = default;

void StagedFlush::Add(const fs::path& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return;
    }
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    state_->files.insert(
        DirectoryId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    if (!state_->fileSystems.emplace(st.st_dev, std::make_pair(fd, file)).second) {
        close(fd);
    }
}

void StagedFlush::Flush() {
    if (!SyncfsReportsErrors() || state_->files.size() < kFewestToFlushTogether) {
        return;
    }
    for (const auto& [device, file] : state_->fileSystems) {
        if (syncfs(file.first) != 0 && !NothingToFlush(errno)) {
            ThrowPosixError("syncfs", file.second, errno);
        }
    }
    state_->flushed = true;
}

bool StagedFlush::Covers(const DirectoryId& file) const {
    return state_->flushed && state_->files.count(file) > 0;
}

bool StagedFlush::WholeFileSystems() const {
    return state_->flushed;
}

// Devices live in /dev: a name in any other directory is a file's.
bool NamesADevice(const std::string&) {
    return false;
}

bool IsLink(const fs::path& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool IsLinkToSameFile(const fs::path& link, const fs::path& file) {
    struct stat linkStatus, linked, target;
    return lstat(link.c_str(), &linkStatus) == 0 && S_ISLNK(linkStatus.st_mode) &&
           stat(link.c_str(), &linked) == 0 && stat(file.c_str(), &target) == 0 &&
           linked.st_dev == target.st_dev && linked.st_ino == target.st_ino;
}

void AppendToFile(const fs::path& file, const std::string& bytes) {
    // Opening a FIFO for writing waits for a reader, and opening a device may act on it: the
    // status is looked at first, O_NONBLOCK covers one that takes the name in between, and the
    // descriptor's own status has the last word.
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        ThrowPosixError("open", file, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
    }
    const int fd =
        open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        ThrowPosixError("open", file, errno);
    }
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = ENXIO;
    }
    std::size_t written = 0;
    while (err == 0 && written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            err = errno;
        } else if (n == 0) {
            err = EIO;
        }
    }
    // What a failed append left is taken back, so that nothing after it is read out of step.
    if (err != 0 && written > 0 && ftruncate(fd, st.st_size) != 0) {
        // Nothing more can be done for the file; the error below says the append failed.
    }
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ThrowPosixError("append", file, err);
    }
}

bool EntryExists(const fs::path& path) {
    return fs::exists(fs::status(path));
}

// A file is opened here for reading only, which no other program's use of it can refuse.
bool HeldByAnotherProgram(const boost::system::error_code&) {
    return false;
}
