#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "handover/DirectoryHandle_Posix.h"
#include "handover/FileSystem.h"
#include "handover/PosixError.h"

namespace fs = boost::filesystem;

// Devices live in /dev: a name in any other directory is a file's.
bool NamesADevice(const std::string&) {
    return false;
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
    struct stat st;
    const int err = FollowedStatus(AT_FDCWD, path.c_str(), &st);
    if (err == ENOENT || err == ENOTDIR) {
        return false;
    }
    if (err != 0) {
        ThrowPosixError("status", path, err);
    }
    return true;
}

// A file is opened here for reading only, which no other program's use of it can refuse.
bool HeldByAnotherProgram(const boost::system::error_code&) {
    return false;
}
