// The walk of the installation tree: depth first, a directory's own entries before its
// subdirectories, following links but never round a loop, never out of the tree, never twice
// into one directory. What is done in each directory is the caller's.
#pragma once

#include <functional>
#include <ostream>
#include <set>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "handover/Directory.h"

// The identities of the directories that hold dir, up to the root of the file system and across
// mounts: a link up to one of them would take the walk out of the tree and over everything beside
// it. What cannot be told is said in log, and the walk goes on without it.
std::set<FileId> HoldersOf(const boost::filesystem::path& dir, std::ostream& log);

// Handles a directory's own entries and returns the names of its subdirectories, in the order they
// are to be walked.
using VisitDirectory = std::function<std::vector<boost::filesystem::path>(const Directory&)>;

// Visits root, then each subdirectory that visit returns, opened through its parent when its turn
// comes, and so on down. A name that no longer leads to a directory at its turn is passed over.
// Not entered, with a warning in log: a directory on the way down from root or one of holders
// ("WARNING: not entering directory loop: "), and one already walked by another way ("WARNING:
// not entering directory twice: "). Each directory entered is announced in log ("About to install
// _tmp_ files in subdirectory: "). The way down is kept on the heap and at most a few dozen
// directories are open at once, however deep the tree. Raises what visit raises, and
// filesystem_error when a subdirectory cannot be opened.
void Walk(const Directory& root, const std::set<FileId>& holders, std::ostream& log,
          const VisitDirectory& visit);
