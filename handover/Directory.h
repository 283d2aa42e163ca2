// The installer's view of one directory of the tree, read through the platform's own listing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem/path.hpp>

// What identifies a file or directory whatever path reaches it: device and inode on POSIX; on
// Windows the volume serial number and the file id, whose high half only ReFS fills.
struct DirectoryId {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t inodeHigh = 0;
    bool operator==(const DirectoryId& other) const {
        return device == other.device && inode == other.inode && inodeHigh == other.inodeHigh;
    }
    bool operator<(const DirectoryId& other) const {
        return std::tie(device, inodeHigh, inode) <
               std::tie(other.device, other.inodeHigh, other.inode);
    }
};

// What a path leads to, links followed.
enum class EntryKind { kFile, kDirectory, kOther };

// The kind of what path leads to now, and for a file or directory its identity in *id when id
// is given. A path that is gone, a broken link and a link that cannot be followed (a loop, a
// folder on its way that may not be searched, a target too long) are kOther. Raises when
// anything else keeps the path from being examined.
EntryKind KindOf(const boost::filesystem::path& path, DirectoryId* id = nullptr);

// The path that the system resolves dir to, every link and junction on the way followed. Raises
// when it cannot be resolved.
boost::filesystem::path ResolvedPath(const boost::filesystem::path& dir);

// Adds to holders the identity of each directory that holds dir: its parent, the parent's parent,
// and so on up to the root, across file systems. Raises at the first one that cannot be reached;
// the ones found until then stay in holders.
void AddHolders(const boost::filesystem::path& dir, std::vector<DirectoryId>& holders);

// The entries the installer works on, in listing order, each path being the directory's path
// joined with the entry's name. Links are followed: a link to a directory is a subdirectory, a
// link to a regular file a file. Entries of every other kind (see KindOf) are left out.
struct DirectoryEntries {
    std::vector<boost::filesystem::path> files;
    std::vector<boost::filesystem::path> subdirectories;
};

// An open directory. All failures raise boost::filesystem::filesystem_error.
class Directory {
  public:
    // Opens path, following links.
    explicit Directory(const boost::filesystem::path& path);
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    DirectoryId Id() const { return id_; }
    const boost::filesystem::path& Path() const { return path_; }

    // Reads the whole listing, then closes the directory; call once. Files whose names
    // wantFile refuses are left out, before any path is made for them.
    DirectoryEntries ReadAndClose(bool (*wantFile)(const std::string& name));

  private:
    struct Handle;
    boost::filesystem::path path_;
    std::unique_ptr<Handle> handle_;
    DirectoryId id_;
};
