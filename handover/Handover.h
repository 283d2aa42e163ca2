// The two file-system steps of a run: waiting for the client to exit, and putting every staged
// "_tmp_" file of the tree in place of the file it replaces. Both write to g_log; a failure sets
// g_errorFlag, logs an "ERROR: " line and raises.
#pragma once

#include <boost/filesystem/path.hpp>

// Returns once "./session.dat" is gone: at most 20 checks, 250 ms apart. Raises
// SessionFileError when it stays; a failing status query passes its filesystem_error through.
void AwaitClientExit();

// Walks dir depth first, files before subdirectories, following links but never into a
// directory on the way down from dir or one that holds dir, nor twice into one directory, and
// installs every staged file it finds (StagedInstall.h says how). Every staged file's contents
// are on the disk before the first target goes, and every new name before it returns. Raises
// RemoveDestinationFileError when a staged file cannot be flushed or installed; a listing or
// status failure passes its filesystem_error through. Installed files stay installed.
void InstallTmpFiles(const boost::filesystem::path& dir);
