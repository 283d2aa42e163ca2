// One directory of the tree, held open: its entries are listed through it, and every later act on
// an entry (a status query, a removal, a rename, a flush) goes through it by the entry's name.
// Once the walk has found a directory, an install elsewhere in the tree may change what the path
// that led there leads to (a link to it replaced, an empty directory on the way removed); the
// directory itself, and what is done in it, stays the one that was found.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>

// What identifies a file or a directory whatever path reaches it: device and inode on POSIX; on
// Windows the volume serial number and the file id, whose high half only ReFS fills.
struct FileId {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t inodeHigh = 0;
    bool operator==(const FileId& other) const {
        return device == other.device && inode == other.inode && inodeHigh == other.inodeHigh;
    }
    bool operator<(const FileId& other) const {
        return std::tie(device, inodeHigh, inode) <
               std::tie(other.device, other.inodeHigh, other.inode);
    }
};

// What a name leads to, links followed.
enum class EntryKind { kFile, kDirectory, kOther };

// A directory's entries that the installer works on, by name, in listing order. Links are
// followed: a link to a directory is a subdirectory, a link to a regular file a file. Entries of
// every other kind (see KindOf) are left out.
struct DirectoryEntries {
    std::vector<boost::filesystem::path> files;
    std::vector<boost::filesystem::path> subdirectories;

    // Takes in an entry of this kind: a file only when wanted, nothing else but a directory.
    void Add(EntryKind kind, boost::filesystem::path name, bool wanted) {
        if (kind == EntryKind::kFile && wanted) {
            files.push_back(std::move(name));
        } else if (kind == EntryKind::kDirectory) {
            subdirectories.push_back(std::move(name));
        }
    }
};

// An open directory. Names are single path elements of it. All failures raise
// boost::filesystem::filesystem_error naming Path() / name.
class Directory {
  public:
    // Opens the directory at path, following links.
    explicit Directory(const boost::filesystem::path& path);
    // Opens parent's subdirectory name, following links, through parent itself, whatever the
    // path that led to parent leads to now. Its Path() is parent.Path() / name.
    Directory(const Directory& parent, const boost::filesystem::path& name);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    FileId Id() const { return id_; }
    // The path the walk reached it by, as the run log names it.
    const boost::filesystem::path& Path() const { return path_; }

    // Reads the whole listing. Files whose names wantFile refuses are left out, before they are
    // looked at.
    DirectoryEntries List(bool (*wantFile)(const std::string& name)) const;

    // The kind of what name leads to now, and for a file or directory its identity in *id when id
    // is given. A name that is gone, a broken link and a link that cannot be followed (a loop, a
    // folder on its way that may not be searched, a target too long) are kOther. Raises when
    // anything else keeps the entry from being examined.
    EntryKind KindOf(const boost::filesystem::path& name, FileId* id = nullptr) const;
    // Whether an entry called name is there, links followed: a broken link, and one that cannot
    // be followed, is not. A name that stays while the file's last user lets go of it (Windows: a
    // pending delete, which refuses every query) counts as there. Raises when the query fails
    // otherwise.
    bool Exists(const boost::filesystem::path& name) const;
    // Whether the entry called link is a link that leads to the very file that target leads to,
    // by a way that does not pass through target itself: removing target then leaves link
    // leading nowhere, or to the file still (b -> c, link -> c). False when target's own way
    // passes through link (target -> link -> c: removing target breaks nothing), and when either
    // cannot be examined.
    bool IsLinkToOwnTarget(const boost::filesystem::path& link,
                           const boost::filesystem::path& target) const;

    // Removes the entry name (a file, a link or an empty directory) itself, never what a link
    // leads to; nothing happens when it does not exist. Where a read-only file cannot be removed
    // as it is (Windows), its read-only attribute is cleared for the removal, and set again when
    // the removal fails all the same.
    void Remove(const boost::filesystem::path& name) const;
    // Removes the entry name and, when it is a directory, everything in it, however deep; links
    // are removed, never followed. Nothing happens when it does not exist.
    void RemoveAll(const boost::filesystem::path& name) const;
    // Renames from onto to, replacing an entry called to. Where the platform can say so
    // (Windows), the rename is on the disk when it returns. Where a read-only file cannot be
    // replaced as it is (Windows), its attribute is cleared for the rename, and set again when the
    // rename fails all the same.
    void Rename(const boost::filesystem::path& from, const boost::filesystem::path& to) const;

    // Asks the system to start writing the file name's contents out, without waiting: several
    // files then go to the disk together. A hint only; it never fails.
    void StartFlush(const boost::filesystem::path& name) const;
    // Returns once the file name's contents are on the disk. Raises when they may not be: the file
    // cannot be opened, or writing it out failed. A file system with nothing to write out
    // (read-only, or one that cannot) is no error. Where only a writable file can be flushed
    // (Windows), a read-only file has its attribute cleared for the flush and set back after it;
    // raises when it cannot be.
    void FlushContents(const boost::filesystem::path& name) const;
    // Returns once the names in this directory are on the disk, as renames in it left them (a
    // no-op where every rename is written through: Windows). Raises like FlushContents.
    void FlushNames() const;

    // The platform's open handle, for the platform layer's other parts.
    struct Handle;
    const Handle& Native() const { return *handle_; }

  private:
    boost::filesystem::path path_;
    std::unique_ptr<Handle> handle_;
    FileId id_{};
};

// Adds to holders the identity of each directory that holds dir: its parent, the parent's parent,
// and so on up to the root, across file systems. Raises at the first one that cannot be reached;
// the ones found until then stay in holders.
void AddHolders(const boost::filesystem::path& dir, std::vector<FileId>& holders);
