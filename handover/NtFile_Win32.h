// The calls that act on a file by its name in a directory that is open already, which only the
// native layer of Windows has: kernel32 reaches a file by a path alone. Every failure is given
// as the Windows error the kernel32 calls would give (RtlNtStatusToDosError), so that callers
// tell them apart as they always have.
#pragma once

#include <windows.h>

#include <boost/filesystem/path.hpp>

// Opens name, a path relative to the open directory dir, with access (SYNCHRONIZE added) and
// options (FILE_SYNCHRONOUS_IO_NONALERT and FILE_OPEN_FOR_BACKUP_INTENT added, which lets a
// directory be opened), sharing everything, letter case ignored, as CreateFileW would open
// dir's path joined with name. Links and junctions are followed unless options hold
// FILE_OPEN_REPARSE_POINT. INVALID_HANDLE_VALUE, with the error in err, when it cannot be.
HANDLE OpenAt(HANDLE dir, const boost::filesystem::path& name, ACCESS_MASK access, ULONG options,
              DWORD& err);

// Marks the file for deletion once its last handle is closed (a directory must be empty).
bool MarkForDeletion(HANDLE file, DWORD& err);

// Renames the file open at file (opened with DELETE) to name in the open directory dir,
// replacing an entry of that name.
bool RenameInto(HANDLE file, HANDLE dir, const boost::filesystem::path& name, DWORD& err);

// Sets the file's attributes (FILE_ATTRIBUTE_NORMAL for none), its times left as they are; the
// handle needs FILE_WRITE_ATTRIBUTES.
bool SetAttributes(HANDLE file, DWORD attributes, DWORD& err);
