// The file operations of a run that go by path rather than through a directory the walk found:
// the session file, the report, and what names mean on each platform. All failures raise
// boost::filesystem::filesystem_error.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// Whether name, in any directory, names a device rather than a file: on Windows "CON", "NUL",
// "COM1" and the others, with or without an extension, in any letter case; on POSIX never.
bool NamesADevice(const std::string& name);

// Appends bytes to file, which is created when it does not exist: all of them, or none when the
// append fails part way (a full disk). Only a regular file is ever opened for it: a FIFO, socket
// or device in its place is refused, and nothing waits. Raises when the bytes are not appended.
void AppendToFile(const boost::filesystem::path& file, const std::string& bytes);

// Whether an entry named path is there, links followed: the wait for the session file asks this.
// A broken link, and a link that cannot be followed (a loop), is not. A name that stays while the
// file's last user lets go of it (Windows: a pending delete, which refuses every query) counts as
// there. Raises when the query fails otherwise.
bool EntryExists(const boost::filesystem::path& path);

// Whether error, raised by Directory::FlushContents, says that another program holds the file
// for now (Windows: a sharing or lock violation), so that a later attempt may succeed. Scanners
// and indexers open fresh files for a moment.
bool HeldByAnotherProgram(const boost::system::error_code& error);
