// What Windows says of the file or directory a path leads to, for the platform layer's
// listing and run lock.
#pragma once

#include <windows.h>

#include <boost/filesystem/path.hpp>

// A handle owned for its scope.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// What path leads to, links and junctions followed; false, with the error in err, when it
// cannot be asked. FILE_FLAG_BACKUP_SEMANTICS lets a directory be opened; no access right is
// asked for, so nothing that holds the entry open is in the way.
inline bool QueryFollowed(const boost::filesystem::path& path, BY_HANDLE_FILE_INFORMATION& info,
                          DWORD& err) {
    const ScopedHandle handle(
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid() || !GetFileInformationByHandle(handle.get(), &info)) {
        err = GetLastError();
        return false;
    }
    return true;
}
