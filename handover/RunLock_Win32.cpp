#include <windows.h>

#include <cstdio>
#include <string>

#include <boost/system/error_code.hpp>

#include "handover/FileInfo_Win32.h"
#include "handover/RunLock.h"

// A named mutex whose name is made from the directory's identity (its volume and file index),
// so that every path and junction that reaches the tree finds the same lock, and nothing is
// written into the tree. The system releases a mutex whose holder dies: the next run finds it
// abandoned, and then owns it. The handle is not inheritable, and the client is started without
// inheriting handles anyway.
struct RunLock::Handle {
    HANDLE mutex = nullptr;
    bool owned = false;
    ~Handle() {
        if (mutex != nullptr) {
            if (owned) {
                ReleaseMutex(mutex);
            }
            CloseHandle(mutex);
        }
    }
};

namespace {

// The system's own words for err, as the path library's errors carry them.
std::string SystemMessage(DWORD err) {
    return boost::system::error_code(static_cast<int>(err), boost::system::system_category())
        .message();
}

// "Local\" scopes the name to the user's session, where the client that starts handover runs.
bool MutexName(const boost::filesystem::path& dir, std::wstring& name, DWORD& err) {
    FileFacts facts;
    if (!QueryFollowed(dir, facts, err)) {
        return false;
    }
    wchar_t text[80];
    std::swprintf(text, sizeof text / sizeof text[0], L"Local\\handover-run-%08lx-%016llx",
                  static_cast<unsigned long>(facts.id.device),
                  static_cast<unsigned long long>(facts.id.inode));
    name = text;
    // The high half of a 128-bit file id, which only ReFS fills.
    if (facts.id.inodeHigh != 0) {
        std::swprintf(text, sizeof text / sizeof text[0], L"-%016llx",
                      static_cast<unsigned long long>(facts.id.inodeHigh));
        name += text;
    }
    return true;
}

}  // namespace

RunLock::RunLock(const boost::filesystem::path& dir) : handle_(new Handle) {
    std::wstring name;
    DWORD err = 0;
    if (!MutexName(dir, name, err)) {
        status_ = Status::kUnavailable;
        reason_ = SystemMessage(err);
        return;
    }
    handle_->mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (handle_->mutex == nullptr) {
        status_ = Status::kUnavailable;
        reason_ = SystemMessage(GetLastError());
        return;
    }
    switch (WaitForSingleObject(handle_->mutex, 0)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // its holder died: the lock is this run's now
            handle_->owned = true;
            status_ = Status::kLocked;
            return;
        case WAIT_TIMEOUT:
            status_ = Status::kBusy;
            return;
        default:
            status_ = Status::kUnavailable;
            reason_ = SystemMessage(GetLastError());
            return;
    }
}

RunLock::~RunLock() = default;
