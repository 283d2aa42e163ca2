// What Windows says of the file or directory a path leads to, for the platform layer's
// listing, file operations and run lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

#include <boost/filesystem/path.hpp>

#include "handover/Directory.h"

// A handle owned for its scope, or until it is handed on.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.handle_) {
        other.handle_ = INVALID_HANDLE_VALUE;
    }
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            reset(other.handle_);
            other.handle_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// What a path leads to: its attributes, and what identifies it whatever path reaches it.
struct FileFacts {
    DWORD attributes;
    FileId id;
};

// The volume and the file id. The 128-bit id (Windows 8 and later) is the one that is unique on
// ReFS; on NTFS its low half is the 64-bit file index, which is all Windows 7 has.
inline FileId IdentityOf(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
    // FILE_ID_INFO and its class number (FileIdInfo), which headers for Windows 7 leave out.
    struct {
        ULONGLONG volumeSerialNumber;
        BYTE fileId[16];
    } idInfo;
    constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    if (GetFileInformationByHandleEx(handle, kFileIdInfo, &idInfo, sizeof idInfo)) {
        std::uint64_t low = 0, high = 0;
        std::memcpy(&low, idInfo.fileId, sizeof low);
        std::memcpy(&high, idInfo.fileId + sizeof low, sizeof high);
        return FileId{info.dwVolumeSerialNumber, low, high};
    }
    return FileId{info.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// What path leads to, links and junctions followed; false, with the error in err, when it
// cannot be asked. FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened; no access right is
// asked for, so nothing that holds the entry open is in the way.
inline bool QueryFollowed(const boost::filesystem::path& path, FileFacts& facts, DWORD& err) {
    const ScopedHandle handle(
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) {
        err = GetLastError();
        return false;
    }
    facts.attributes = info.dwFileAttributes;
    facts.id = IdentityOf(handle.get(), info);
    return true;
}
