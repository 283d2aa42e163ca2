// The file operations of an update whose meaning differs from platform to platform. All
// failures raise boost::filesystem::filesystem_error.
//
// What a run changes reaches the disk before the next step relies on it, so that a power cut
// leaves each target with its old contents or its new ones, never empty or cut short.
#pragma once

#include <boost/filesystem/path.hpp>

// Removes target (a file, a link or an empty directory) as the filesystem library's remove does:
// nothing happens when it does not exist. Where a read-only file cannot be removed as it is
// (Windows), its read-only attribute is cleared for the removal, and set again when the removal
// fails all the same.
void RemoveTarget(const boost::filesystem::path& target);

// Renames source onto destination, replacing an entry of that name. Where the platform can say
// so (Windows), the rename is on the disk when it returns.
void RenameOnto(const boost::filesystem::path& source, const boost::filesystem::path& destination);

// Asks the system to start writing file's contents out, without waiting: several files then
// go to the disk together. A hint only; it never fails.
void StartFlush(const boost::filesystem::path& file);

// Returns once file's contents are on the disk. Raises when they may not be: the file cannot be
// opened, or writing it out failed. A file system with nothing to write out (read-only, or one
// that cannot) is no error.
void FlushContents(const boost::filesystem::path& file);

// Returns once the names in directory dir are on the disk, as renames in it left them. Raises
// like FlushContents.
void FlushDirectory(const boost::filesystem::path& dir);
