#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "handover/Directory.h"
#include "handover/PosixError.h"

namespace fs = boost::filesystem;

namespace {

DirectoryId IdOf(const struct stat& st) {
    return DirectoryId{static_cast<std::uint64_t>(st.st_dev),
                       static_cast<std::uint64_t>(st.st_ino)};
}

EntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return EntryKind::kFile;
    }
    return S_ISDIR(mode) ? EntryKind::kDirectory : EntryKind::kOther;
}

// Closes the descriptor it owns.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

}  // namespace

// The descriptor is read with getdents64 rather than through a DIR stream, whose opendir would
// ask for the directory's status a second time.
struct Directory::Handle {
    explicit Handle(int fd) : fd(fd) {}
    Descriptor fd;
};

Directory::Directory(const fs::path& path)
    : path_(path), handle_(new Handle(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
    if (handle_->fd.get() < 0) {
        ThrowPosixError("open directory", path, errno);
    }
    // The identity of what was opened, not of what the path names a moment later.
    struct stat st;
    if (fstat(handle_->fd.get(), &st) != 0) {
        ThrowPosixError("stat directory", path, errno);
    }
    id_ = IdOf(st);
}

Directory::~Directory() = default;

namespace {

// The listing already tells the type of most entries; only links (and file systems that do not
// fill d_type) need a status query, which follows the link.
EntryKind Classify(unsigned char type, const fs::path& path) {
    switch (type) {
        case DT_REG:
            return EntryKind::kFile;
        case DT_DIR:
            return EntryKind::kDirectory;
        case DT_LNK:
        case DT_UNKNOWN:
            return KindOf(path);
        default:
            return EntryKind::kOther;
    }
}

}  // namespace

EntryKind KindOf(const fs::path& path, DirectoryId* id) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (id != nullptr) {
            *id = IdOf(st);
        }
        return KindOfMode(st.st_mode);
    }
    const int err = errno;
    // Gone since it was listed, or a link whose target is missing.
    if (err == ENOENT || err == ENOTDIR) {
        return EntryKind::kOther;
    }
    // A link that cannot be followed (ELOOP, EACCES on a folder on its way, ENAMETOOLONG...)
    // leads nowhere the walk could go: it is left out like a broken one.
    struct stat link;
    if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        return EntryKind::kOther;
    }
    ThrowPosixError("status", path, err);
}

fs::path ResolvedPath(const fs::path& dir) {
    char* resolved = realpath(dir.c_str(), nullptr);
    if (resolved == nullptr) {
        ThrowPosixError("realpath", dir, errno);
    }
    const fs::path path(resolved);
    free(resolved);
    return path;
}

// ".." of a directory is its parent in the file system, whatever path led to it, and the
// kernel takes it across mount points; the root is its own parent. O_PATH needs no permission
// to read the directories on the way up.
void AddHolders(const fs::path& dir, std::vector<DirectoryId>& holders) {
    Descriptor current(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (current.get() < 0 || fstat(current.get(), &st) != 0) {
        ThrowPosixError("open directory", dir, errno);
    }
    DirectoryId below = IdOf(st);
    fs::path up = dir;
    while (true) {
        up /= "..";
        current.reset(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (current.get() < 0 || fstat(current.get(), &st) != 0) {
            ThrowPosixError("open directory", up, errno);
        }
        const DirectoryId id = IdOf(st);
        if (id == below) {
            return;
        }
        holders.push_back(id);
        below = id;
    }
}

DirectoryEntries Directory::ReadAndClose(bool (*wantFile)(const std::string& name)) {
    DirectoryEntries entries;
    std::vector<char> buffer(32 * 1024);
    while (true) {
        const ssize_t length = getdents64(handle_->fd.get(), buffer.data(), buffer.size());
        if (length < 0) {
            ThrowPosixError("read directory", path_, errno);
        }
        if (length == 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string name = entry->d_name;
            const bool wanted = wantFile(name);
            if (name == "." || name == ".." || (entry->d_type == DT_REG && !wanted)) {
                continue;
            }
            fs::path path = path_ / name;
            switch (Classify(entry->d_type, path)) {
                case EntryKind::kFile:
                    if (wanted) {
                        entries.files.push_back(std::move(path));
                    }
                    break;
                case EntryKind::kDirectory:
                    entries.subdirectories.push_back(std::move(path));
                    break;
                case EntryKind::kOther:
                    break;
            }
        }
    }
    handle_.reset();
    return entries;
}
