#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "handover/Directory.h"
#include "handover/PosixError.h"

namespace fs = boost::filesystem;

// The descriptor is read with getdents64 rather than through a DIR stream, whose opendir would
// ask for the directory's status a second time.
struct Directory::Handle {
    int fd = -1;
    ~Handle() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

Directory::Directory(const fs::path& path) : path_(path), handle_(new Handle) {
    handle_->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle_->fd < 0) {
        ThrowPosixError("open directory", path, errno);
    }
    // The identity of what was opened, not of what the path names a moment later.
    struct stat st;
    if (fstat(handle_->fd, &st) != 0) {
        ThrowPosixError("stat directory", path, errno);
    }
    id_ = DirectoryId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Directory::~Directory() = default;

namespace {

enum class Kind { kFile, kDirectory, kOther };

// The listing already tells the type of most entries; only links (and file systems that do not
// fill d_type) need a status query, which follows the link.
Kind Classify(unsigned char type, const fs::path& path) {
    switch (type) {
        case DT_REG:
            return Kind::kFile;
        case DT_DIR:
            return Kind::kDirectory;
        case DT_LNK:
        case DT_UNKNOWN:
            break;
        default:
            return Kind::kOther;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        const int err = errno;
        // A link whose target is missing, or that leads round in a circle, is broken.
        if (err == ENOENT || err == ENOTDIR || err == ELOOP) {
            return Kind::kOther;
        }
        ThrowPosixError("status", path, err);
    }
    if (S_ISREG(st.st_mode)) {
        return Kind::kFile;
    }
    return S_ISDIR(st.st_mode) ? Kind::kDirectory : Kind::kOther;
}

}  // namespace

DirectoryEntries Directory::ReadAndClose(bool (*wantFile)(const std::string& name)) {
    DirectoryEntries entries;
    std::vector<char> buffer(32 * 1024);
    while (true) {
        const ssize_t length = getdents64(handle_->fd, buffer.data(), buffer.size());
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
                case Kind::kFile:
                    if (wanted) {
                        entries.files.push_back(std::move(path));
                    }
                    break;
                case Kind::kDirectory:
                    entries.subdirectories.push_back(std::move(path));
                    break;
                case Kind::kOther:
                    break;
            }
        }
    }
    handle_.reset();
    return entries;
}
