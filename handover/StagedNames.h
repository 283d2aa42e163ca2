// What a name in the tree means to the installer. The tests ignore letter case, for ASCII letters
// only.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>

// A staged copy of handover itself, "_tmp_handover.exe": deleted, never installed.
bool IsSelfCopyName(const std::string& name);
// A name that begins with the prefix "_tmp_".
bool IsStagedName(const std::string& name);
// Whether a staged name is only the prefix, or the prefix and "." or "..", or the prefix and a
// device's name (NamesADevice): it names the directory that holds it, the one above, or a device,
// and so no file to replace.
bool NamesNoTarget(const std::string& name);

// The name a staged name replaces: the name less the prefix.
boost::filesystem::path TargetName(const boost::filesystem::path& staged);
// Where a staged file goes, as the run log names it: its directory joined with its target's name.
boost::filesystem::path StagedDestination(const boost::filesystem::path& source);
