#include <windows.h>

#include <boost/filesystem/operations.hpp>

#include "handover/FileSystem.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

void RemoveTarget(const fs::path& target) {
    try {
        fs::remove(target);
        return;
    } catch (const fs::filesystem_error& e) {
        const DWORD attributes = GetFileAttributesW(target.c_str());
        // Windows refuses to delete a read-only file; any other refusal stands.
        if (e.code().value() != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
            !SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
            throw;
        }
        try {
            fs::remove(target);
        } catch (const fs::filesystem_error&) {
            // Held open, say: the target stays as it was, attribute included.
            SetFileAttributesW(target.c_str(), attributes);
            throw;
        }
    }
}

void RenameOnto(const fs::path& source, const fs::path& destination) {
    // Write-through: the new name is on the disk when the call returns.
    if (!MoveFileExW(source.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        throw fs::filesystem_error(
            "rename", source, destination,
            boost::system::error_code(static_cast<int>(err), boost::system::system_category()));
    }
}

// Windows has no hint to start writing a file out without waiting for it.
void StartFlush(const fs::path&) {}

void FlushContents(const fs::path& file) {
    // FlushFileBuffers needs a handle with write access. The sharing lets whoever else has the
    // file open keep it; a writer that shares nothing still holds it, and then it is not ready.
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        // A read-only staged file cannot be opened for writing, and so cannot be flushed: its
        // contents were written while it was still writable, and it goes in as it is.
        if (err == ERROR_ACCESS_DENIED) {
            const DWORD attributes = GetFileAttributesW(file.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES &&
                (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
                return;
            }
        }
        ThrowWindowsError("open", file, err);
    }
    const bool flushed = FlushFileBuffers(handle) != 0;
    const DWORD err = GetLastError();
    CloseHandle(handle);
    // Some file systems (network shares, FAT on removable drives) have nothing to flush.
    if (!flushed && err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED) {
        ThrowWindowsError("flush", file, err);
    }
}

// NTFS journals the names in a directory; the rename itself is made with write-through.
void FlushDirectory(const fs::path&) {}
