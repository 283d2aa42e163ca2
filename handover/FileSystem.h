// The file operations of an update whose meaning differs from platform to platform. All
// failures raise boost::filesystem::filesystem_error.
//
// What a run changes reaches the disk before the next step relies on it, so that a power cut
// leaves each target with its old contents or its new ones, never empty or cut short.
#pragma once

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include "handover/Directory.h"

// Removes target (a file, a link or an empty directory) as the filesystem library's remove does:
// nothing happens when it does not exist. Where a read-only file cannot be removed as it is
// (Windows), its read-only attribute is cleared for the removal, and set again when the removal
// fails all the same.
void RemoveTarget(const boost::filesystem::path& target);

// Renames source onto destination, replacing an entry of that name. Where the platform can say
// so (Windows), the rename is on the disk when it returns. Where a read-only file cannot be
// replaced as it is (Windows), its read-only attribute is cleared for the rename, and set again
// when the rename fails all the same.
void RenameOnto(const boost::filesystem::path& source, const boost::filesystem::path& destination);

// Asks the system to start writing file's contents out, without waiting: several files then
// go to the disk together. A hint only; it never fails.
void StartFlush(const boost::filesystem::path& file);

// Returns once file's contents are on the disk. Raises when they may not be: the file cannot be
// opened, or writing it out failed. A file system with nothing to write out (read-only, or one
// that cannot) is no error. Where only a writable file can be flushed (Windows), a read-only
// file has its attribute cleared for the flush and set back after it; raises when it cannot be.
void FlushContents(const boost::filesystem::path& file);

// Returns once the names in directory dir are on the disk, as renames in it left them. Raises
// like FlushContents.
void FlushDirectory(const boost::filesystem::path& dir);

// Returns once everything written to the file system that holds dir is on the disk, the names
// in every directory included: one device flush for any number of files and directories.
// Raises like FlushContents.
void FlushFileSystem(const boost::filesystem::path& dir);

// The staged files of a run, brought onto the disk together, in as few device flushes as the
// platform allows: on Linux 5.8 and later (the first to report write-back errors to it) one
// syncfs per file system that holds any of them; on Windows 8 and later the data of each, then
// one full flush per volume. Where that cannot be done or trusted, and for a single file, Flush
// covers none of them, and each is flushed on its own before its target goes.
class StagedFlush {
  public:
    StagedFlush();
    ~StagedFlush();
    StagedFlush(const StagedFlush&) = delete;
    StagedFlush& operator=(const StagedFlush&) = delete;

    // Starts writing file's contents out, and counts it in for Flush. A file that cannot be
    // opened is left out: it is flushed on its own later. Never raises.
    void Add(const boost::filesystem::path& file);
    // Returns once the contents of the files added are on the disk. Raises when they may not
    // be, naming a file on the file system that failed.
    void Flush();
    // Whether Flush brought the file with this identity onto the disk.
    bool Covers(const DirectoryId& file) const;
    // Whether Flush flushed whole file systems: the new names then go the same way.
    bool WholeFileSystems() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Whether name, in any directory, names a device rather than a file: on Windows "CON", "NUL",
// "COM1" and the others, with or without an extension, in any letter case; on POSIX never.
bool NamesADevice(const std::string& name);

// Whether path is itself a link: a symbolic link, or on Windows any reparse point (a junction).
bool IsLink(const boost::filesystem::path& path);

// Whether link is a symbolic link (on Windows any reparse point) that leads to the very file that
// file leads to, however many links lie on either way. False when either cannot be examined.
bool IsLinkToSameFile(const boost::filesystem::path& link, const boost::filesystem::path& file);

// Appends bytes to file, which is created when it does not exist: all of them, or none when the
// append fails part way (a full disk). Only a regular file is ever opened for it: a FIFO, socket
// or device in its place is refused, and nothing waits. Raises when the bytes are not appended.
void AppendToFile(const boost::filesystem::path& file, const std::string& bytes);

// Other programs (scanners, indexers) open fresh files for a moment; these tell such a moment
// from a failure.

// Whether an entry named path is there, links followed: the waits for the session file and
// for a removed target ask this. A name that stays while the file's last user lets go of it
// (Windows: a pending delete, which refuses every query) counts as there. Raises when the
// query fails otherwise.
bool EntryExists(const boost::filesystem::path& path);

// Whether error, raised by FlushContents, says that another program holds the file for now
// (Windows: a sharing or lock violation), so that a later attempt may succeed.
bool HeldByAnotherProgram(const boost::system::error_code& error);
