#include <windows.h>

#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "handover/FileInfo_Win32.h"
#include "handover/FileSystem.h"
#include "handover/VolumeFlush_Win32.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

namespace {

// A file's read-only attribute, cleared for one step that Windows refuses on a read-only file
// (deleting it, renaming onto it, opening it to flush it). Set again when the object goes,
// unless the step took the file away or Restore() set it already.
class ReadOnlyCleared {
  public:
    explicit ReadOnlyCleared(const fs::path& path)
        : path_(path), attributes_(GetFileAttributesW(path.c_str())) {
        cleared_ = attributes_ != INVALID_FILE_ATTRIBUTES &&
                   (attributes_ & FILE_ATTRIBUTE_READONLY) != 0 &&
                   SetFileAttributesW(path.c_str(), attributes_ & ~FILE_ATTRIBUTE_READONLY);
    }
    ~ReadOnlyCleared() { Restore(); }
    ReadOnlyCleared(const ReadOnlyCleared&) = delete;
    ReadOnlyCleared& operator=(const ReadOnlyCleared&) = delete;

    // Whether the file was read-only and is writable now.
    bool Cleared() const { return cleared_; }
    // The file is gone, or another file has its name now: nothing is set again.
    void Dismiss() { cleared_ = false; }
    // Sets the attribute again now; false, with the error in GetLastError(), when it fails.
    bool Restore() {
        if (!cleared_) {
            return true;
        }
        cleared_ = false;
        return SetFileAttributesW(path_.c_str(), attributes_) != 0;
    }

  private:
    fs::path path_;
    DWORD attributes_;
    bool cleared_ = false;
};

// FlushFileBuffers needs a handle with write access. The sharing lets whoever else has the file
// open keep it; a program that shares no writing still holds it, and then it is not ready.
HANDLE OpenForFlush(const fs::path& file) {
    return CreateFileW(file.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void FlushOpened(const fs::path& file, HANDLE handle) {
    const bool flushed = FlushFileBuffers(handle) != 0;
    const DWORD err = GetLastError();
    CloseHandle(handle);
    // Some file systems (network shares, FAT on removable drives) have nothing to flush.
    if (!flushed && err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED) {
        ThrowWindowsError("flush", file, err);
    }
}

bool Move(const fs::path& source, const fs::path& destination) {
    // Write-through: the new name is on the disk when the call returns.
    return MoveFileExW(source.c_str(), destination.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

void RemoveTarget(const fs::path& target) {
    try {
        fs::remove(target);
        return;
    } catch (const fs::filesystem_error& e) {
        // Windows refuses to delete a read-only file; any other refusal stands.
        if (e.code().value() != ERROR_ACCESS_DENIED) {
            throw;
        }
        ReadOnlyCleared writable(target);
        if (!writable.Cleared()) {
            throw;
        }
        // Should it stay (held open, say), it keeps its attribute as it keeps its contents.
        fs::remove(target);
        writable.Dismiss();
    }
}

void RenameOnto(const fs::path& source, const fs::path& destination) {
    if (Move(source, destination)) {
        return;
    }
    DWORD err = GetLastError();
    // Windows refuses to rename onto a read-only file, as it refuses to delete one.
    if (err == ERROR_ACCESS_DENIED) {
        ReadOnlyCleared writable(destination);
        if (writable.Cleared()) {
            if (Move(source, destination)) {
                writable.Dismiss();
                return;
            }
            err = GetLastError();
        }
    }
    throw fs::filesystem_error(
        "rename", source, destination,
        boost::system::error_code(static_cast<int>(err), boost::system::system_category()));
}

// Windows has no hint to start writing a file out without waiting for it.
void StartFlush(const fs::path&) {}

void FlushContents(const fs::path& file) {
    const HANDLE handle = OpenForFlush(file);
    if (handle != INVALID_HANDLE_VALUE) {
        FlushOpened(file, handle);
        return;
    }
    const DWORD err = GetLastError();
    // A read-only file refuses write access, and only write access flushes it: the attribute is
    // lifted for the flush, and the file goes in with it as it was staged.
    if (err == ERROR_ACCESS_DENIED) {
        ReadOnlyCleared writable(file);
        if (writable.Cleared()) {
            const HANDLE reopened = OpenForFlush(file);
            if (reopened == INVALID_HANDLE_VALUE) {
                ThrowWindowsError("open", file, GetLastError());
            }
            FlushOpened(file, reopened);
            if (!writable.Restore()) {
                ThrowWindowsError("set attributes", file, GetLastError());
            }
            return;
        }
    }
    ThrowWindowsError("open", file, err);
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

bool IsLink(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
