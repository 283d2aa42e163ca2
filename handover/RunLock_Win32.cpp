#include <windows.h>

#include <cstdio>
#include <string>

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

std::string SystemMessage(DWORD err) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, err, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(err);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

// "Local\" scopes the name to the user's session, where the client that starts handover runs.
bool MutexName(const boost::filesystem::path& dir, std::wstring& name, DWORD& err) {
    const HANDLE handle =
        CreateFileW(dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        err = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(handle, &info) != 0;
    err = GetLastError();
    CloseHandle(handle);
    if (!ok) {
        return false;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"Local\\handover-run-%08lx-%08lx%08lx",
                  info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow);
    name = text;
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
