// The two file-system steps of a run: waiting for the client to exit, and putting every staged
// "_tmp_" file of the tree in place of the file it replaces. Both write to g_log; a failure sets
// g_errorFlag, logs an "ERROR: " line and raises.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>

// Returns once "./session.dat" is gone: at most 20 checks, 250 ms apart. Raises
// SessionFileError when it stays; a failing status query passes its filesystem_error through.
void AwaitClientExit();

// Walks dir depth first, files before subdirectories, following links but never into a
// directory on the way down from dir or one that holds dir, nor twice into one directory.
// Deletes every staged self-copy ("_tmp_handover.exe", any letter case); renames every other
// staged file onto its target after up to 20 removal attempts, once the staged file's contents
// are on the disk, and flushes each directory's new names. A name that is only the prefix, and a
// staged link to its own target, are not installed (the link is deleted). Each entry is looked at
// again at its turn: what is no longer a file or directory is left alone. Raises
// RemoveDestinationFileError when a staged file cannot be flushed, a target stays or a rename
// fails; a listing or status failure passes its filesystem_error through. Installed files stay
// installed.
void InstallTmpFiles(const boost::filesystem::path& dir);

// Gets the names that renames left in dir onto the disk. A failure only writes a warning: the
// renames themselves have taken place.
void FlushRenames(const boost::filesystem::path& dir);

// The name tests, letter case ignored for ASCII letters only.
bool IsSelfCopyName(const std::string& name);
bool IsStagedName(const std::string& name);
// Whether a staged name is only the prefix, or the prefix and "." or "..", or the prefix and a
// device's name (NamesADevice): it names the directory that holds it, the one above, or a device,
// and so no file to replace.
bool NamesNoTarget(const std::string& name);

// Where a staged file goes: its directory joined with its name less the "_tmp_" prefix.
boost::filesystem::path StagedDestination(const boost::filesystem::path& source);
