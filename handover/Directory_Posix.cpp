#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "handover/Directory.h"
#include "handover/DirectoryHandle_Posix.h"
#include "handover/PosixError.h"

namespace fs = boost::filesystem;

namespace {

FileId IdOf(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

EntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return EntryKind::kFile;
    }
    return S_ISDIR(mode) ? EntryKind::kDirectory : EntryKind::kOther;
}

// These say the file system has nothing to write out, not that anything was lost.
bool NothingToFlush(int err) {
    return err == EINVAL || err == EOPNOTSUPP || err == ENOTSUP || err == EROFS;
}

// The identity of what was opened, not of what the name leads to a moment later.
FileId IdOfOpened(int fd, const fs::path& path) {
    struct stat st;
    if (fd < 0) {
        ThrowPosixError("open directory", path, errno);
    }
    if (fstat(fd, &st) != 0) {
        ThrowPosixError("stat directory", path, errno);
    }
    return IdOf(st);
}

// O_NONBLOCK: the listing saw a regular file, but should a FIFO have taken its name since,
// opening it must not wait for a writer.
int OpenFile(int dir, const fs::path& name) {
    return openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// A link's text, read through the directory that holds it; false when it cannot be read.
bool ReadLink(int dir, const std::string& name, std::string& text) {
    std::vector<char> buffer(256);
    while (true) {
        const ssize_t length = readlinkat(dir, name.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Whether name's own way to the file it leads to passes through the link whose status is link:
// each link on the way is looked at itself, through the directory that holds it.
bool WayPassesThrough(int dir, const std::string& name, const struct stat& link) {
    Descriptor held;
    int at = dir;
    std::string next = name;
    // As many links as the kernel itself follows on one way.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (fstatat(at, next.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (st.st_dev == link.st_dev && st.st_ino == link.st_ino) {
            return true;
        }
        std::string text;
        if (!S_ISLNK(st.st_mode) || !ReadLink(at, next, text)) {
            return false;
        }
        // The text is read from the folder that holds the link.
        const std::size_t slash = next.rfind('/');
        if (slash != std::string::npos) {
            const std::string folder = slash == 0 ? "/" : next.substr(0, slash);
            held.reset(openat(at, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!held.valid()) {
                return false;
            }
            at = held.get();
        }
        next = text;
    }
    return false;
}

// The listing already tells the type of most entries; only links (and file systems that do not
// fill d_type) need a status query, which follows the link.
EntryKind Classify(const Directory& dir, unsigned char type, const fs::path& name) {
    switch (type) {
        case DT_REG:
            return EntryKind::kFile;
        case DT_DIR:
            return EntryKind::kDirectory;
        case DT_LNK:
        case DT_UNKNOWN:
            return dir.KindOf(name);
        default:
            return EntryKind::kOther;
    }
}

// Reads the entries of the directory open at fd, from the start when rewind says it has been read
// before, handing each name and its type from the listing to take; stops early when take returns
// false.
template <class Take>
void ReadEntries(int fd, const fs::path& path, bool rewind, Take take) {
    if (rewind && lseek(fd, 0, SEEK_SET) != 0) {
        ThrowPosixError("read directory", path, errno);
    }
    // Read with getdents64 rather than through a DIR stream, whose opendir would ask for the
    // directory's status a second time.
    std::vector<char> buffer(32 * 1024);
    while (true) {
        const ssize_t length = getdents64(fd, buffer.data(), buffer.size());
        if (length < 0) {
            ThrowPosixError("read directory", path, errno);
        }
        if (length == 0) {
            return;
        }
        for (ssize_t offset = 0; offset < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            offset += entry->d_reclen;
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && !take(name, entry->d_type)) {
                return;
            }
        }
    }
}

}  // namespace

Directory::Directory(const fs::path& path)
    : path_(path),
      handle_(new Handle{Descriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))}),
      id_(IdOfOpened(handle_->fd.get(), path)) {}

Directory::Directory(const Directory& parent, const fs::path& name)
    : path_(parent.Path() / name),
      handle_(new Handle{Descriptor(
          openat(parent.Native().fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))}),
      id_(IdOfOpened(handle_->fd.get(), path_)) {}

Directory::~Directory() = default;

DirectoryEntries Directory::List(bool (*wantFile)(const std::string& name)) const {
    DirectoryEntries entries;
    ReadEntries(handle_->fd.get(), path_, handle_->read,
                [&](const std::string& name, unsigned char type) {
                    const bool wanted = wantFile(name);
                    if (type == DT_REG && !wanted) {
                        return true;
                    }
                    entries.Add(Classify(*this, type, name), name, wanted);
                    return true;
                });
    handle_->read = true;
    return entries;
}

int FollowedStatus(int dir, const char* name, struct stat* st) {
    if (fstatat(dir, name, st, 0) == 0) {
        return 0;
    }
    const int err = errno;
    struct stat link;
    if (err != ENOENT && err != ENOTDIR && fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode)) {
        return ENOENT;
    }
    return err;
}

EntryKind Directory::KindOf(const fs::path& name, FileId* id) const {
    struct stat st;
    const int err = FollowedStatus(handle_->fd.get(), name.c_str(), &st);
    if (err == 0) {
        if (id != nullptr) {
            *id = IdOf(st);
        }
        return KindOfMode(st.st_mode);
    }
    // Gone since it was listed, or a link that leads nowhere the walk could go.
    if (err == ENOENT || err == ENOTDIR) {
        return EntryKind::kOther;
    }
    ThrowPosixError("status", path_ / name, err);
}

bool Directory::Exists(const fs::path& name) const {
    struct stat st;
    const int err = FollowedStatus(handle_->fd.get(), name.c_str(), &st);
    if (err == ENOENT || err == ENOTDIR) {
        return false;
    }
    if (err != 0) {
        ThrowPosixError("status", path_ / name, err);
    }
    return true;
}

bool Directory::IsLinkToOwnTarget(const fs::path& link, const fs::path& target) const {
    const int fd = handle_->fd.get();
    struct stat own, linked, reached;
    return fstatat(fd, link.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode) &&
           fstatat(fd, link.c_str(), &linked, 0) == 0 &&
           fstatat(fd, target.c_str(), &reached, 0) == 0 && linked.st_dev == reached.st_dev &&
           linked.st_ino == reached.st_ino && !WayPassesThrough(fd, target.string(), own);
}

void Directory::Remove(const fs::path& name) const {
    const int fd = handle_->fd.get();
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        ThrowPosixError("status", path_ / name, errno);
    }
    if (unlinkat(fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
        errno != ENOENT) {
        ThrowPosixError("remove", path_ / name, errno);
    }
}

void Directory::RemoveAll(const fs::path& name) const {
    // Each pass goes down to a directory with no directory left in it, removes everything else in
    // it and then the directory itself, and starts again from the top: two descriptors at a time,
    // however deep the tree, and only directories themselves are ever entered, never links.
    while (true) {
        struct stat st;
        if (fstatat(handle_->fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return;
            }
            ThrowPosixError("status", path_ / name, errno);
        }
        if (!S_ISDIR(st.st_mode)) {
            Remove(name);
            return;
        }
        Descriptor above;
        std::string current = name.string();
        fs::path path = path_ / name;
        while (true) {
            const int parent = above.valid() ? above.get() : handle_->fd.get();
            Descriptor here(
                openat(parent, current.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!here.valid()) {
                ThrowPosixError("open directory", path, errno);
            }
            std::string below;
            ReadEntries(here.get(), path, false, [&](const std::string& entry, unsigned char type) {
                struct stat es;
                if (type == DT_UNKNOWN) {
                    if (fstatat(here.get(), entry.c_str(), &es, AT_SYMLINK_NOFOLLOW) != 0) {
                        ThrowPosixError("status", path / entry, errno);
                    }
                    type = S_ISDIR(es.st_mode) ? DT_DIR : DT_REG;
                }
                if (type == DT_DIR) {
                    below = entry;
                    return false;
                }
                if (unlinkat(here.get(), entry.c_str(), 0) != 0 && errno != ENOENT) {
                    ThrowPosixError("remove", path / entry, errno);
                }
                return true;
            });
            if (below.empty()) {
                if (unlinkat(parent, current.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
                    ThrowPosixError("remove", path, errno);
                }
                break;
            }
            above = std::move(here);
            current = below;
            path /= below;
        }
    }
}

void Directory::Rename(const fs::path& from, const fs::path& to) const {
    // rename(2) replaces the destination in one step; the directory's flush makes it durable.
    const int fd = handle_->fd.get();
    if (renameat(fd, from.c_str(), fd, to.c_str()) != 0) {
        ThrowPosixError("rename", path_ / from, path_ / to, errno);
    }
}

void Directory::StartFlush(const fs::path& name) const {
    const Descriptor file(OpenFile(handle_->fd.get(), name));
    if (file.valid()) {
        sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

void Directory::FlushContents(const fs::path& name) const {
    const Descriptor file(OpenFile(handle_->fd.get(), name));
    if (!file.valid()) {
        ThrowPosixError("open", path_ / name, errno);
    }
    // The data, and of the metadata only what reading it back needs (its size).
    if (fdatasync(file.get()) != 0 && !NothingToFlush(errno)) {
        ThrowPosixError("fdatasync", path_ / name, errno);
    }
}

void Directory::FlushNames() const {
    if (fsync(handle_->fd.get()) != 0 && !NothingToFlush(errno)) {
        ThrowPosixError("fsync", path_, errno);
    }
}

// ".." of a directory is its parent in the file system, whatever path led to it, and the
// kernel takes it across mount points; the root is its own parent. O_PATH needs no permission
// to read the directories on the way up.
void AddHolders(const fs::path& dir, std::vector<FileId>& holders) {
    Descriptor current(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!current.valid() || fstat(current.get(), &st) != 0) {
        ThrowPosixError("open directory", dir, errno);
    }
    FileId below = IdOf(st);
    fs::path up = dir;
    while (true) {
        up /= "..";
        current.reset(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!current.valid() || fstat(current.get(), &st) != 0) {
            ThrowPosixError("open directory", up, errno);
        }
        const FileId id = IdOf(st);
        if (id == below) {
            return;
        }
        holders.push_back(id);
        below = id;
    }
}
