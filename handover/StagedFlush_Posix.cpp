#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "handover/DirectoryHandle_Posix.h"
#include "handover/PosixError.h"
#include "handover/StagedFlush.h"

namespace fs = boost::filesystem;

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

// The file systems on which syncfs writes everything out to the device before it returns: the
// local block file systems, and tmpfs, whose pages are all there is. FUSE passes syncfs on to no
// daemon, and NFS, SMB and CIFS do not promise that it reaches the server's disk.
bool FlushedWholeBySyncfs(const struct statfs& st) {
    switch (static_cast<unsigned long>(st.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case F2FS_SUPER_MAGIC:
        case REISERFS_SUPER_MAGIC:
        case NILFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

// These say the file system has nothing to write out, not that anything was lost.
bool NothingToFlush(int err) {
    return err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == EROFS;
}

// A single staged file costs two device flushes either way (the file and its directory, or the
// file system twice), and flushed on its own it writes out nothing but handover's own files;
// from two on, flushing the file system costs fewer.
constexpr std::size_t kFewestToFlushTogether = 2;

}  // namespace

// One file system that can be flushed whole.
struct FileSystemFlush {
    Descriptor staged;  // a staged file on it, open for syncfs
    fs::path stagedPath;
    std::size_t files = 0;
    bool flushed = false;  // Flush's syncfs of it succeeded
    Descriptor names;      // a directory on it with new names, for the closing syncfs
    fs::path namesPath;
    int namesError = 0;  // why names could not be held
};

struct StagedFlush::State {
    std::map<dev_t, FileSystemFlush> fileSystems;
    std::map<dev_t, bool> flushedWhole;  // whether syncfs reaches the disk, by device
    std::set<FileId> files;

    const FileSystemFlush* Flushed(std::uint64_t device) const {
        const auto it = fileSystems.find(static_cast<dev_t>(device));
        return it != fileSystems.end() && it->second.flushed ? &it->second : nullptr;
    }
};

StagedFlush::StagedFlush() : state_(new State) {}

StagedFlush::~StagedFlush() = default;

void StagedFlush::Add(const Directory& dir, const fs::path& name) {
    Descriptor file(openat(dir.Native().fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    auto known = state_->flushedWhole.find(st.st_dev);
    if (known == state_->flushedWhole.end()) {
        struct statfs fsInfo;
        known = state_->flushedWhole
                    .emplace(st.st_dev,
                             fstatfs(file.get(), &fsInfo) == 0 && FlushedWholeBySyncfs(fsInfo))
                    .first;
    }
    if (!known->second) {
        return;
    }
    state_->files.insert(
        FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    FileSystemFlush& fileSystem = state_->fileSystems[st.st_dev];
    ++fileSystem.files;
    if (!fileSystem.staged.valid()) {
        fileSystem.staged = std::move(file);
        fileSystem.stagedPath = dir.Path() / name;
    }
}

void StagedFlush::Flush() {
    if (!SyncfsReportsErrors()) {
        return;
    }
    for (auto& [device, fileSystem] : state_->fileSystems) {
        if (fileSystem.files < kFewestToFlushTogether) {
            continue;
        }
        if (syncfs(fileSystem.staged.get()) != 0 && !NothingToFlush(errno)) {
            ThrowPosixError("syncfs", fileSystem.stagedPath, errno);
        }
        fileSystem.flushed = true;
    }
}

bool StagedFlush::Covers(const FileId& file) const {
    return state_->Flushed(file.device) != nullptr && state_->files.count(file) > 0;
}

bool StagedFlush::FlushesNamesOf(const Directory& dir) const {
    return state_->Flushed(dir.Id().device) != nullptr;
}

void StagedFlush::AddNames(const Directory& dir) {
    const auto it = state_->fileSystems.find(static_cast<dev_t>(dir.Id().device));
    if (it == state_->fileSystems.end() || !it->second.namesPath.empty()) {
        return;
    }
    // A descriptor of its own: the directory's goes when the walk leaves it.
    it->second.names.reset(fcntl(dir.Native().fd.get(), F_DUPFD_CLOEXEC, 0));
    it->second.namesError = it->second.names.valid() ? 0 : errno;
    it->second.namesPath = dir.Path();
}

std::vector<fs::filesystem_error> StagedFlush::FlushNames() {
    std::vector<fs::filesystem_error> failures;
    for (auto& [device, fileSystem] : state_->fileSystems) {
        if (fileSystem.namesPath.empty()) {
            continue;
        }
        const int err = fileSystem.namesError != 0            ? fileSystem.namesError
                        : syncfs(fileSystem.names.get()) == 0 ? 0
                                                              : errno;
        if (err != 0 && !NothingToFlush(err)) {
            failures.emplace_back("syncfs", fileSystem.namesPath,
                                  boost::system::error_code(err, boost::system::system_category()));
        }
        fileSystem.names.reset();
        fileSystem.namesPath.clear();
    }
    return failures;
}
