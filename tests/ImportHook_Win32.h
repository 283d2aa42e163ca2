// Faults injected where a test program meets Windows: for its lifetime, an ImportHook points
// one entry of the program's import table at another function, so that every call the program
// makes to that system function (from its own code and from the libraries linked into it)
// reaches the replacement. For what Wine does not do as Windows does.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string>

class ImportHook {
  public:
    // Raises std::runtime_error when the program does not import function from module.
    ImportHook(const std::string& module, const std::string& function, void* replacement);
    ~ImportHook();
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    // The system's own function, for the replacement to call on.
    template <typename Function>
    Function Original() const {
        return reinterpret_cast<Function>(original_);
    }

  private:
    void** slot_;
    void* original_;
};

// The last part of the path of the file behind handle, for a replacement to tell files apart;
// empty when the system cannot tell.
std::string FileNameOf(HANDLE handle);
// The whole path of the file behind handle, as the system names it; empty when it cannot tell.
std::wstring PathOf(HANDLE handle);
// The path that the object attributes of an NtOpenFile name: the name, joined to the path of the
// directory it is relative to.
std::wstring PathOf(const OBJECT_ATTRIBUTES* attributes);
// The last part of the name that the object attributes of an NtOpenFile give.
std::wstring NameOf(const OBJECT_ATTRIBUTES* attributes);

// NTSTATUS values the replacements give, as the native calls give them.
inline constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
inline constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
inline constexpr LONG kStatusSharingViolation = static_cast<LONG>(0xC0000043);
inline constexpr LONG kStatusFileLockConflict = static_cast<LONG>(0xC0000054);
inline constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
inline constexpr LONG kStatusCannotDelete = static_cast<LONG>(0xC0000121);
