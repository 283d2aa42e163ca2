// What the installer does in each directory of the tree, in its two walks: the survey lists the
// directory and starts its staged files on their way to the disk; the install puts each staged
// file in place of its target, then gets the directory's new names onto the disk. Both write to
// g_log; a failure sets g_errorFlag, logs an "ERROR: " line and raises.
#pragma once

#include <map>
#include <sstream>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "handover/Directory.h"
#include "handover/StagedFlush.h"

// What the survey found, before anything changed.
struct Survey {
    std::map<FileId, DirectoryEntries> listings;  // each directory's, by its identity
    bool staged = false;                          // a staged name anywhere
    bool complete = false;                        // every directory was listed
    // The walk's own lines, which are the whole log of a walk that finds nothing staged.
    std::ostringstream log;
};

// Gets the names that renames left in dir onto the disk. A failure only writes a warning: the
// renames themselves have taken place, and a next run finds what they would lose.
void FlushRenames(const Directory& dir);

// Lists dir into survey, and starts writing out each staged file that will be installed, counted
// in for flushed. Returns dir's subdirectories.
std::vector<boost::filesystem::path> SurveyDirectory(const Directory& dir, StagedFlush& flushed,
                                                     Survey& survey);

// Handles dir's files as the survey listed them (or as dir lists them now, where the survey did
// not reach it): deletes each staged self-copy; puts every other staged file in place of its
// target, after up to 20 removal attempts and once its contents are on the disk. A name that is
// only the prefix, and a staged link to its own target, are not installed (the link is deleted).
// Each file is looked at again at its turn: one that is no longer a regular file is left alone.
// Once dir's installs are done, or one has failed, its new names are flushed, or left to
// flushed.FlushNames where its file system is flushed whole. Returns dir's subdirectories.
// Raises RemoveDestinationFileError when a staged file cannot be flushed, a target stays or a
// rename fails; a status failure passes its filesystem_error through.
std::vector<boost::filesystem::path> InstallDirectory(const Directory& dir, const Survey& survey,
                                                      StagedFlush& flushed);
