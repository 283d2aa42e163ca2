#include <windows.h>

#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "handover/FileInfo_Win32.h"
#include "handover/FileSystem.h"
#include "handover/VolumeFlush_Win32.h"
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

void FlushFileSystem(const fs::path&) {}

namespace {

// NtFlushBuffersFileEx and its flag that writes a file's data out without a flush of the
// device's cache (Windows 8 and later; Wine 8 has neither). Found at run time, since the program
// runs on Windows 7 too.
using NtFlushBuffersFileExCall = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PVOID);
constexpr ULONG kFlushFileDataOnly = 0x1;

NtFlushBuffersFileExCall NtFlushBuffersFileEx() {
    static const auto call = reinterpret_cast<NtFlushBuffersFileExCall>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFlushBuffersFileEx")));
    return call;
}

bool FlushDataOnly(HANDLE file, DWORD& err) {
    // IO_STATUS_BLOCK: a status or pointer, then a count.
    struct {
        void* status;
        ULONG_PTR information;
    } io{};
    const LONG status = NtFlushBuffersFileEx()(file, kFlushFileDataOnly, nullptr, 0, &io);
    if (status < 0) {
        err = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

bool FlushFull(HANDLE file, DWORD& err) {
    if (!FlushFileBuffers(file)) {
        err = GetLastError();
        return false;
    }
    return true;
}

// A single staged file costs one device flush on its own, and one (with a data-only flush
// besides) together; from two on, one full flush per volume costs fewer.
constexpr std::size_t kFewestToFlushTogether = 2;

}  // namespace

struct StagedFlush::State {
    VolumeFlush volumes{NtFlushBuffersFileEx() != nullptr ? FlushDataOnly : nullptr, FlushFull};
    bool flushed = false;
};

StagedFlush::StagedFlush() : state_(new State) {}

StagedFlush::~StagedFlush() = default;

void StagedFlush::Add(const fs::path& file) {
    if (NtFlushBuffersFileEx() == nullptr) {
        return;
    }
    // As FlushContents opens it: a staged file that cannot be opened so is flushed on its own.
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return;
    }
    state_->volumes.Add(file, handle, info.dwVolumeSerialNumber, IdentityOf(handle, info));
}

void StagedFlush::Flush() {
    if (state_->volumes.Size() < kFewestToFlushTogether) {
        return;
    }
    state_->volumes.Flush();
    state_->flushed = true;
}

bool StagedFlush::Covers(const DirectoryId& file) const {
    return state_->flushed && state_->volumes.Covers(file);
}

bool StagedFlush::WholeFileSystems() const {
    return state_->flushed;
}

// Windows reads these names as its devices in every directory, whatever follows a dot or a
// colon and whatever blanks end them: "nul.txt" and "COM1 " are devices too.
bool NamesADevice(const std::string& name) {
    std::string base = name.substr(0, name.find_first_of(".:"));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (base == device) {
            return true;
        }
    }
    // COM1 to COM9 and LPT1 to LPT9, and the superscript 1, 2 and 3 ("\xc2\xb9" and so on in
    // UTF-8) that Windows counts as digits there.
    if (base.size() >= 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0)) {
        const std::string digit = base.substr(3);
        return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xc2\xb9" ||
               digit == "\xc2\xb2" || digit == "\xc2\xb3";
    }
    return false;
}

bool IsLinkToSameFile(const fs::path& link, const fs::path& file) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    FileFacts linked, target;
    DWORD err = 0;
    return QueryFollowed(link, linked, err) && QueryFollowed(file, target, err) &&
           linked.id == target.id;
}

void AppendToFile(const fs::path& file, const std::string& bytes) {
    // Shared for reading and writing, as a file stream opens it. Only a file on a disk is
    // written: a pipe or a device reached through a link is refused.
    const ScopedHandle handle(CreateFileW(file.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        ThrowWindowsError("open", file, GetLastError());
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        ThrowWindowsError("open", file, ERROR_INVALID_FUNCTION);
    }
    LARGE_INTEGER size;
    const LARGE_INTEGER zero{};
    if (!GetFileSizeEx(handle.get(), &size) ||
        !SetFilePointerEx(handle.get(), zero, nullptr, FILE_END)) {
        ThrowWindowsError("append", file, GetLastError());
    }
    std::size_t written = 0;
    DWORD err = 0;
    while (err == 0 && written < bytes.size()) {
        DWORD n = 0;
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 20));
        if (!WriteFile(handle.get(), bytes.data() + written, chunk, &n, nullptr)) {
            err = GetLastError();
        } else if (n == 0) {
            err = ERROR_WRITE_FAULT;
        }
        written += n;
    }
    if (err != 0) {
        // What a failed append left is taken back, so that nothing after it is read out of step.
        if (written > 0 && SetFilePointerEx(handle.get(), size, nullptr, FILE_BEGIN)) {
            SetEndOfFile(handle.get());
        }
        ThrowWindowsError("append", file, err);
    }
}

bool EntryExists(const fs::path& path) {
    boost::system::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() != fs::status_error) {
        return fs::exists(status);
    }
    // A file deleted while another program (a scanner, the exiting client) still has it open
    // keeps its name until that program lets go, and Windows refuses every query of the name
    // meanwhile: the name is there for as long as that lasts.
    if (ec.value() == ERROR_ACCESS_DENIED || ec.value() == ERROR_DELETE_PENDING) {
        return true;
    }
    ThrowWindowsError("status", path, static_cast<DWORD>(ec.value()));
}

bool HeldByAnotherProgram(const boost::system::error_code& error) {
    return error.category() == boost::system::system_category() &&
           (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION);
}
