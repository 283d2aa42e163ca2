#include <windows.h>

#include "handover/DirectoryHandle_Win32.h"
#include "handover/FileInfo_Win32.h"
#include "handover/NtFile_Win32.h"
#include "handover/StagedFlush.h"
#include "handover/VolumeFlush_Win32.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

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

void StagedFlush::Add(const Directory& dir, const fs::path& name) {
    if (NtFlushBuffersFileEx() == nullptr) {
        return;
    }
    // As FlushContents opens it: a staged file that cannot be opened so is flushed on its own.
    DWORD err = 0;
    const HANDLE handle =
        OpenAt(dir.Native().dir.get(), name, FILE_GENERIC_WRITE, FILE_NON_DIRECTORY_FILE, err);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return;
    }
    state_->volumes.Add(dir.Path() / name, handle, info.dwVolumeSerialNumber,
                        IdentityOf(handle, info));
}

void StagedFlush::Flush() {
    if (state_->volumes.Size() < kFewestToFlushTogether) {
        return;
    }
    state_->volumes.Flush();
    state_->flushed = true;
}

bool StagedFlush::Covers(const FileId& file) const {
    return state_->flushed && state_->volumes.Covers(file);
}

// Every rename is written through: there are no names left to flush afterwards.
bool StagedFlush::FlushesNamesOf(const Directory&) const {
    return false;
}

void StagedFlush::AddNames(const Directory&) {}

std::vector<fs::filesystem_error> StagedFlush::FlushNames() {
    return {};
}
