// Getting a run's changes onto the disk before the next step relies on them, so that a power
// cut leaves each target with its old contents or its new ones, never empty or cut short.
#pragma once

#include <boost/filesystem/path.hpp>

// Asks the system to start writing file's contents out, without waiting: several files then
// go to the disk together. A hint only; it never fails.
void StartFlush(const boost::filesystem::path& file);

// Returns once file's contents are on the disk. Raises boost::filesystem::filesystem_error when
// they may not be: the file cannot be opened, or writing it out failed. A file system with
// nothing to write out (read-only, or one that cannot) is no error.
void FlushContents(const boost::filesystem::path& file);

// Returns once the names in directory dir are on the disk, as renames in it left them. Raises
// boost::filesystem::filesystem_error like FlushContents.
void FlushDirectory(const boost::filesystem::path& dir);
