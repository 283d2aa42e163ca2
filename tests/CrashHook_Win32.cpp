// crash_hook.dll: loaded into a suspended handover.exe by the crash walk's launcher (see
// tests/CrashHook_Win32.h). Everything happens in DllMain, before handover's own code runs.
#include "tests/CrashHook_Win32.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/ImportTable_Win32.h"

namespace {

// --- The plan and the list ----------------------------------------------------------------------

// The list file, open for the process's whole life. A process that is stopped closes nothing:
// its lines are written through at once, so that the launcher reads them all the same.
class ListFile {
  public:
    ~ListFile() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    bool Open(const std::wstring& path) {
        handle_ = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle_ != INVALID_HANDLE_VALUE;
    }
    void Line(const std::string& text) const {
        const std::string line = text + "\n";
        DWORD written = 0;
        WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct Plan {
    int stop = 0;  // 0: never
    bool after = false;
    bool flushExStandIn = false;
};

ListFile g_list;
Plan g_plan;
std::wstring g_root;  // handover's working directory, the tree
SRWLOCK g_lock = SRWLOCK_INIT;
int g_count = 0;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

std::string Hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    return text;
}

// A path as the system names it (\\?\C:\..., \??\C:\...) relative to the tree, so that the same
// call reads the same in every scratch tree; a path the program gave relative stays as it is.
std::string Relative(std::wstring path) {
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\??\\"}) {
        if (path.compare(0, std::wcslen(prefix), prefix) == 0) {
            path.erase(0, std::wcslen(prefix));
        }
    }
    if (!g_root.empty() && path.size() >= g_root.size() &&
        _wcsnicmp(path.c_str(), g_root.c_str(), g_root.size()) == 0 &&
        (path.size() == g_root.size() || path[g_root.size()] == L'\\')) {
        path.erase(0, g_root.size() + (path.size() > g_root.size() ? 1 : 0));
        return path.empty() ? "." : Utf8(path);
    }
    return Utf8(path);
}

std::string PathArg(LPCWSTR path) {
    return path != nullptr ? Relative(path) : "(null)";
}

std::string NameOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
    }
    if (length == 0 || length >= path.size()) {
        return "?";
    }
    path.resize(length);
    return Relative(path);
}

std::string NameOf(const OBJECT_ATTRIBUTES* attributes) {
    if (attributes == nullptr || attributes->ObjectName == nullptr) {
        return "(null)";
    }
    const UNICODE_STRING& name = *attributes->ObjectName;
    const std::wstring text(name.Buffer, name.Length / sizeof(wchar_t));
    if (attributes->RootDirectory != nullptr) {
        return NameOf(attributes->RootDirectory) + "\\" + Utf8(text);
    }
    return Relative(text);
}

// FILE_RENAME_INFORMATION and FILE_RENAME_INFO alike: a flag (BOOLEAN or, in the Ex form,
// ULONG), the directory the name is relative to, and the name.
struct RenameInformation {
    ULONG replace;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[1];
};

std::string RenameDetail(HANDLE file, const void* information) {
    const auto* rename = static_cast<const RenameInformation*>(information);
    std::wstring to(rename->fileName, rename->fileNameLength / sizeof(WCHAR));
    std::string target = rename->rootDirectory != nullptr
                             ? NameOf(rename->rootDirectory) + "\\" + Utf8(to)
                             : Relative(to);
    return NameOf(file) + " -> " + target;
}

[[noreturn]] void Stop() {
    TerminateProcess(GetCurrentProcess(), kStoppedExitCode);
    // Only a process that may not end itself gets here; the launcher's timeout ends it.
    for (;;) {
        Sleep(INFINITE);
    }
}

// A call that changes something: its kind and what it acts on.
struct Call {
    const char* kind = nullptr;
    std::string detail;
};

// Lists the call and numbers it; stops the process here when it is the planned one and the
// plan says before.
int Listed(const char* function, const Call& call) {
    AcquireSRWLockExclusive(&g_lock);
    const int n = ++g_count;
    g_list.Line(std::to_string(n) + "\t" + call.kind + "\t" + function + "\t" + call.detail);
    if (n == g_plan.stop && !g_plan.after) {
        Stop();
    }
    ReleaseSRWLockExclusive(&g_lock);
    return n;
}

void Returned(int n) {
    if (n != 0 && n == g_plan.stop && g_plan.after) {
        Stop();
    }
}

// --- The calls ----------------------------------------------------------------------------------

// Each hooked call: where it is imported from, and Counts(call, arguments...), which tells
// whether this invocation changes something and says what.
constexpr DWORD kWritingAccess = GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | FILE_WRITE_DATA |
                                 FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                                 WRITE_DAC | WRITE_OWNER;
constexpr ULONG kFileOpen = 1;  // NtCreateFile's disposition that creates nothing
constexpr ULONG kFileDeleteOnClose = 0x1000;
constexpr ULONG kFlushFileDataOnly = 0x1;

struct CreateFileWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "CreateFileW";
    using Function = decltype(&CreateFileW);
    static bool Counts(Call& call, LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                       DWORD disposition, DWORD flags, HANDLE) {
        if ((access & kWritingAccess) == 0 && disposition == OPEN_EXISTING &&
            (flags & FILE_FLAG_DELETE_ON_CLOSE) == 0) {
            return false;
        }
        call = {"open", PathArg(name) + " access=" + Hex(access) +
                            " disposition=" + std::to_string(disposition) + " flags=" + Hex(flags)};
        return true;
    }
};

struct WriteFileHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "WriteFile";
    using Function = decltype(&WriteFile);
    static bool Counts(Call& call, HANDLE file, LPCVOID, DWORD size, LPDWORD, LPOVERLAPPED) {
        call = {"write", NameOf(file) + " " + std::to_string(size) + " bytes"};
        return true;
    }
};

struct FlushFileBuffersHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "FlushFileBuffers";
    using Function = decltype(&FlushFileBuffers);
    static bool Counts(Call& call, HANDLE file) {
        call = {"flush", NameOf(file)};
        return true;
    }
};

struct SetEndOfFileHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "SetEndOfFile";
    using Function = decltype(&SetEndOfFile);
    static bool Counts(Call& call, HANDLE file) {
        call = {"size", NameOf(file)};
        return true;
    }
};

struct DeleteFileWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "DeleteFileW";
    using Function = decltype(&DeleteFileW);
    static bool Counts(Call& call, LPCWSTR path) {
        call = {"delete", PathArg(path)};
        return true;
    }
};

struct RemoveDirectoryWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "RemoveDirectoryW";
    using Function = decltype(&RemoveDirectoryW);
    static bool Counts(Call& call, LPCWSTR path) {
        call = {"rmdir", PathArg(path)};
        return true;
    }
};

struct MoveFileExWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "MoveFileExW";
    using Function = decltype(&MoveFileExW);
    static bool Counts(Call& call, LPCWSTR from, LPCWSTR to, DWORD flags) {
        call = {"rename", PathArg(from) + " -> " + PathArg(to) + " flags=" + Hex(flags)};
        return true;
    }
};

struct MoveFileWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "MoveFileW";
    using Function = decltype(&MoveFileW);
    static bool Counts(Call& call, LPCWSTR from, LPCWSTR to) {
        call = {"rename", PathArg(from) + " -> " + PathArg(to)};
        return true;
    }
};

struct SetFileAttributesWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "SetFileAttributesW";
    using Function = decltype(&SetFileAttributesW);
    static bool Counts(Call& call, LPCWSTR path, DWORD attributes) {
        call = {"attributes", PathArg(path) + " " + Hex(attributes)};
        return true;
    }
};

struct SetFileInformationByHandleHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "SetFileInformationByHandle";
    using Function = decltype(&SetFileInformationByHandle);
    static bool Counts(Call& call, HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID information,
                       DWORD) {
        // FileBasicInfo, FileRenameInfo, FileDispositionInfo, FileAllocationInfo,
        // FileEndOfFileInfo, FileIoPriorityHintInfo, FileDispositionInfoEx, FileRenameInfoEx.
        switch (static_cast<int>(type)) {
            case 0:
                call = {"attributes", NameOf(file)};
                return true;
            case 3:
            case 22:
                call = {"rename", RenameDetail(file, information)};
                return true;
            case 4:
            case 21:
                call = {"delete", NameOf(file)};
                return true;
            case 5:
            case 6:
                call = {"size", NameOf(file)};
                return true;
            case 12:
                return false;
            default:
                call = {"set-info", NameOf(file) + " class " + std::to_string(type)};
                return true;
        }
    }
};

struct CreateDirectoryWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "CreateDirectoryW";
    using Function = decltype(&CreateDirectoryW);
    static bool Counts(Call& call, LPCWSTR path, LPSECURITY_ATTRIBUTES) {
        call = {"mkdir", PathArg(path)};
        return true;
    }
};

struct CreateDirectoryExWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "CreateDirectoryExW";
    using Function = decltype(&CreateDirectoryExW);
    static bool Counts(Call& call, LPCWSTR, LPCWSTR path, LPSECURITY_ATTRIBUTES) {
        call = {"mkdir", PathArg(path)};
        return true;
    }
};

struct CopyFileWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "CopyFileW";
    using Function = decltype(&CopyFileW);
    static bool Counts(Call& call, LPCWSTR from, LPCWSTR to, BOOL) {
        call = {"copy", PathArg(from) + " -> " + PathArg(to)};
        return true;
    }
};

struct SetFileTimeHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "SetFileTime";
    using Function = decltype(&SetFileTime);
    static bool Counts(Call& call, HANDLE file, const FILETIME*, const FILETIME*, const FILETIME*) {
        call = {"times", NameOf(file)};
        return true;
    }
};

struct DeviceIoControlHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "DeviceIoControl";
    using Function = decltype(&DeviceIoControl);
    static bool Counts(Call& call, HANDLE file, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                       LPOVERLAPPED) {
        // FSCTL_SET_REPARSE_POINT and FSCTL_DELETE_REPARSE_POINT; the rest only read.
        if (code != 0x900a4 && code != 0x900ac) {
            return false;
        }
        call = {"reparse", NameOf(file) + " " + Hex(code)};
        return true;
    }
};

// ntdll's forms of DeviceIoControl, which differ only in the device the code is for.
template <const char* Name>
struct NtControlFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = Name;
    using Function = NTSTATUS (*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID,
                                  ULONG, PVOID, ULONG);
    static bool Counts(Call& call, HANDLE file, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, ULONG code,
                       PVOID, ULONG, PVOID, ULONG) {
        return DeviceIoControlHook::Counts(call, file, code, nullptr, 0, nullptr, 0, nullptr,
                                           nullptr);
    }
};
constexpr char kNtFsControlFile[] = "NtFsControlFile";
constexpr char kNtDeviceIoControlFile[] = "NtDeviceIoControlFile";

struct CreateProcessWHook {
    static constexpr const char* kModule = "kernel32.dll";
    static constexpr const char* kName = "CreateProcessW";
    using Function = decltype(&CreateProcessW);
    static bool Counts(Call& call, LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                       LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                       LPPROCESS_INFORMATION) {
        call = {"launch", (application != nullptr ? PathArg(application) + " " : std::string()) +
                              PathArg(commandLine)};
        return true;
    }
};

struct NtCreateFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtCreateFile";
    using Function = NTSTATUS (*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                  PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    static bool Counts(Call& call, PHANDLE, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                       PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG disposition,
                       ULONG options, PVOID, ULONG) {
        if ((access & kWritingAccess) == 0 && disposition == kFileOpen &&
            (options & kFileDeleteOnClose) == 0) {
            return false;
        }
        call = {"open", NameOf(attributes) + " access=" + Hex(access) + " disposition=" +
                            std::to_string(disposition) + " options=" + Hex(options)};
        return true;
    }
};

struct NtOpenFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtOpenFile";
    using Function = NTSTATUS (*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG,
                                  ULONG);
    static bool Counts(Call& call, PHANDLE, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                       PIO_STATUS_BLOCK, ULONG, ULONG options) {
        if ((access & kWritingAccess) == 0 && (options & kFileDeleteOnClose) == 0) {
            return false;
        }
        call = {"open", NameOf(attributes) + " access=" + Hex(access) + " options=" + Hex(options)};
        return true;
    }
};

struct NtSetInformationFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtSetInformationFile";
    using Function = NTSTATUS (*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    static bool Counts(Call& call, HANDLE file, PIO_STATUS_BLOCK, PVOID information, ULONG,
                       ULONG type) {
        switch (type) {
            case 4:  // FileBasicInformation
                call = {"attributes", NameOf(file)};
                return true;
            case 10:  // FileRenameInformation
            case 65:  // FileRenameInformationEx
                call = {"rename", RenameDetail(file, information)};
                return true;
            case 11:  // FileLinkInformation
            case 72:  // FileLinkInformationEx
                call = {"link", RenameDetail(file, information)};
                return true;
            case 13:  // FileDispositionInformation
            case 64:  // FileDispositionInformationEx
                call = {"delete", NameOf(file) + " " +
                                      Hex(information != nullptr
                                              ? *static_cast<const unsigned char*>(information)
                                              : 0)};
                return true;
            case 19:  // FileAllocationInformation
            case 20:  // FileEndOfFileInformation
                call = {"size", NameOf(file)};
                return true;
            case 14:  // FilePositionInformation
            case 16:  // FileModeInformation
                return false;
            default:
                call = {"set-info", NameOf(file) + " class " + std::to_string(type)};
                return true;
        }
    }
};

struct NtWriteFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtWriteFile";
    using Function = NTSTATUS (*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                  PLARGE_INTEGER, PULONG);
    static bool Counts(Call& call, HANDLE file, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                       ULONG size, PLARGE_INTEGER, PULONG) {
        call = {"write", NameOf(file) + " " + std::to_string(size) + " bytes"};
        return true;
    }
};

struct NtFlushBuffersFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtFlushBuffersFile";
    using Function = NTSTATUS (*)(HANDLE, PIO_STATUS_BLOCK);
    static bool Counts(Call& call, HANDLE file, PIO_STATUS_BLOCK) {
        call = {"flush", NameOf(file)};
        return true;
    }
};

struct NtFlushBuffersFileExHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtFlushBuffersFileEx";
    using Function = NTSTATUS (*)(HANDLE, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK);
    static bool Counts(Call& call, HANDLE file, ULONG flags, PVOID, ULONG, PIO_STATUS_BLOCK) {
        call = {flags == kFlushFileDataOnly ? "flush-data" : "flush",
                NameOf(file) + " flags=" + Hex(flags)};
        return true;
    }
    // Where the system has none: the file's data written out, as Windows 8 does without a
    // flush of the device's cache; under Wine nothing on the disk tells the two apart.
    static NTSTATUS Fallback(HANDLE file, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK) {
        constexpr NTSTATUS kStatusIoDeviceError = static_cast<NTSTATUS>(0xC0000185);
        return FlushFileBuffers(file) ? 0 : kStatusIoDeviceError;
    }
};

struct NtDeleteFileHook {
    static constexpr const char* kModule = "ntdll.dll";
    static constexpr const char* kName = "NtDeleteFile";
    using Function = NTSTATUS (*)(POBJECT_ATTRIBUTES);
    static bool Counts(Call& call, POBJECT_ATTRIBUTES attributes) {
        call = {"delete", NameOf(attributes)};
        return true;
    }
};

// The stand-in of one hooked call: lists it when it counts, calls the system's own function,
// and stops the process before or after it when the plan says so. The last error is the
// system's, as if the stand-in were not there.
template <class Hook, class Function = typename Hook::Function>
struct StandIn;

template <class Hook, class R, class... Args>
struct StandIn<Hook, R (*)(Args...)> {
    static inline R (*original)(Args...) = nullptr;
    static R Intercept(Args... args) {
        const DWORD err = GetLastError();
        Call call;
        const int n = Hook::Counts(call, args...) ? Listed(Hook::kName, call) : 0;
        SetLastError(err);
        const R result = original(args...);
        Returned(n);
        return result;
    }
};

template <class Hook>
void* StandInAddress() {
    return reinterpret_cast<void*>(&StandIn<Hook>::Intercept);
}

template <class Hook>
void SetOriginal(void* function) {
    StandIn<Hook>::original = reinterpret_cast<typename Hook::Function>(function);
}

// Whether module is the DLL expected, or for kernel32, where its calls may also come from:
// kernelbase or an API set.
bool IsModule(const char* module, const char* expected) {
    if (_stricmp(module, expected) == 0) {
        return true;
    }
    return _stricmp(expected, "kernel32.dll") == 0 &&
           (_stricmp(module, "kernelbase.dll") == 0 || _strnicmp(module, "api-ms-win-", 11) == 0);
}

// Whether an imported function is the call named: ntdll exports each Nt call as Zw too.
bool IsCall(const char* function, const char* name) {
    return std::strcmp(function, name) == 0 ||
           (std::strncmp(name, "Nt", 2) == 0 && std::strncmp(function, "Zw", 2) == 0 &&
            std::strcmp(function + 2, name + 2) == 0);
}

template <class Hook>
void HookImport(const char* module, const char* function, void** slot) {
    if (!IsCall(function, Hook::kName) || !IsModule(module, Hook::kModule)) {
        return;
    }
    if (StandIn<Hook>::original == nullptr) {
        SetOriginal<Hook>(*slot);
    }
    if (StoreImport(slot, StandInAddress<Hook>())) {
        g_list.Line(std::string("hooked\t") + module + "!" + function);
    }
}

// Calls that change files or start a process, which no stand-in here stops at: a program that
// imports one could change the tree where the walk never stops it. Listed, for the launcher to
// refuse such a walk rather than miss the points.
constexpr const char* kUnhooked[] = {
    // kernel32 (and kernelbase, the API sets)
    "CreateFileA", "CreateFile2", "DeleteFileA", "RemoveDirectoryA", "MoveFileA", "MoveFileExA",
    "MoveFileWithProgressA", "MoveFileWithProgressW", "MoveFileTransactedW", "ReplaceFileA",
    "ReplaceFileW", "CopyFileA", "CopyFileExA", "CopyFileExW", "CopyFile2", "CreateDirectoryA",
    "CreateDirectoryExA", "SetFileAttributesA", "CreateHardLinkA", "CreateHardLinkW",
    "CreateSymbolicLinkA", "CreateSymbolicLinkW", "WriteFileEx", "WriteFileGather",
    "SetFileValidData", "SetFileShortNameA", "SetFileShortNameW", "DeleteFileTransactedW",
    "CreateFileTransactedW", "CreateProcessA", "CreateProcessAsUserW", "WinExec",
    // ntdll
    "NtWriteFileGather", "NtCreateUserProcess", "RtlCreateUserProcess",
    // msvcrt
    "fopen", "_wfopen", "_fsopen", "_wfsopen", "freopen", "_wfreopen", "_open", "_wopen", "_sopen",
    "_wsopen", "_creat", "_wcreat", "rename", "_wrename", "remove", "_wremove", "_unlink",
    "_wunlink", "_rmdir", "_wrmdir", "_mkdir", "_wmkdir", "_chmod", "_wchmod", "_chsize",
    "_chsize_s", "system", "_wsystem", "_spawnv", "_wspawnv", "_spawnvp", "_wspawnvp", "_execv",
    "_wexecv", "_execvp", "_wexecvp"};

void ListIfUnhooked(const char* module, const char* function) {
    for (const char* name : kUnhooked) {
        if (IsCall(function, name)) {
            g_list.Line(std::string("unhooked\t") + module + "!" + function);
            return;
        }
    }
}

// The stand-in for a call the system may not have (Hook::Fallback), or null.
template <class Hook>
void* FallbackOf(...) {
    return nullptr;
}
template <class Hook, decltype(&Hook::Fallback) = &Hook::Fallback>
void* FallbackOf(int) {
    return reinterpret_cast<void*>(&Hook::Fallback);
}

using LookUpFunction = decltype(&GetProcAddress);
LookUpFunction g_lookUp = nullptr;

// A lookup of one of the hooked calls finds its stand-in, which calls on the system's function
// or, where the system has none and the plan asks for it, the hook's fallback. Listed.
template <class Hook>
bool LookUpHooked(HMODULE module, LPCSTR name, FARPROC& answer) {
    if (!IsCall(name, Hook::kName) || module != GetModuleHandleA(Hook::kModule)) {
        return false;
    }
    void* real = reinterpret_cast<void*>(g_lookUp(module, name));
    const char* how = "found";
    if (real == nullptr && g_plan.flushExStandIn) {
        real = FallbackOf<Hook>(0);
        how = "stand-in";
    }
    if (real == nullptr) {
        g_list.Line(std::string("lookup\t") + name + "\tabsent");
        answer = nullptr;
        return true;
    }
    if (StandIn<Hook>::original == nullptr) {
        SetOriginal<Hook>(real);
    }
    g_list.Line(std::string("lookup\t") + name + "\t" + how);
    answer = reinterpret_cast<FARPROC>(StandInAddress<Hook>());
    return true;
}

template <class... Hooks>
struct HookSet {
    static void Import(const char* module, const char* function, void** slot) {
        (HookImport<Hooks>(module, function, slot), ...);
    }
    static FARPROC WINAPI LookUp(HMODULE module, LPCSTR name) {
        // A name, not an ordinal.
        if ((reinterpret_cast<ULONG_PTR>(name) >> 16) != 0) {
            FARPROC answer = nullptr;
            if ((LookUpHooked<Hooks>(module, name, answer) || ...)) {
                return answer;
            }
        }
        return g_lookUp(module, name);
    }
};

using Hooks =
    HookSet<CreateFileWHook, WriteFileHook, FlushFileBuffersHook, SetEndOfFileHook, DeleteFileWHook,
            RemoveDirectoryWHook, MoveFileExWHook, MoveFileWHook, SetFileAttributesWHook,
            SetFileInformationByHandleHook, CreateDirectoryWHook, CreateDirectoryExWHook,
            CopyFileWHook, SetFileTimeHook, DeviceIoControlHook, CreateProcessWHook,
            NtCreateFileHook, NtOpenFileHook, NtSetInformationFileHook, NtWriteFileHook,
            NtFlushBuffersFileHook, NtFlushBuffersFileExHook, NtDeleteFileHook,
            NtControlFileHook<kNtFsControlFile>, NtControlFileHook<kNtDeviceIoControlFile>>;

// --- Loading ------------------------------------------------------------------------------------

std::wstring Environment(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

bool ReadPlan(const std::wstring& text, std::wstring& calls) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(L'|', start), text.size());
        const std::wstring setting = text.substr(start, end - start);
        const std::size_t equals = setting.find(L'=');
        const std::wstring key = setting.substr(0, equals);
        const std::wstring value = equals == std::wstring::npos ? L"" : setting.substr(equals + 1);
        if (key == L"calls") {
            calls = value;
        } else if (key == L"stop") {
            g_plan.stop = _wtoi(value.c_str());
        } else if (key == L"after") {
            g_plan.after = value == L"1";
        } else if (key == L"flush-ex") {
            g_plan.flushExStandIn = value == L"stand-in";
        }
        start = end + 1;
    }
    return !calls.empty();
}

void Load() {
    const std::wstring text = Environment(kCrashPlanVariable);
    SetEnvironmentVariableW(kCrashPlanVariable, nullptr);
    std::wstring calls;
    if (!ReadPlan(text, calls) || !g_list.Open(calls)) {
        return;
    }
    DWORD length = GetCurrentDirectoryW(0, nullptr);
    g_root.resize(length);
    length = GetCurrentDirectoryW(length, &g_root[0]);
    g_root.resize(length);
    while (!g_root.empty() && g_root.back() == L'\\') {
        g_root.pop_back();
    }
    const HMODULE program = GetModuleHandleW(nullptr);
    ForEachImport(program, [](const char* module, const char* function, void** slot) {
        if (IsModule(module, "kernel32.dll") && std::strcmp(function, "GetProcAddress") == 0) {
            g_lookUp = reinterpret_cast<LookUpFunction>(*slot);
            if (StoreImport(slot, reinterpret_cast<void*>(&Hooks::LookUp))) {
                g_list.Line(std::string("hooked\t") + module + "!" + function);
            }
        }
        Hooks::Import(module, function, slot);
        ListIfUnhooked(module, function);
    });
    g_list.Line("ready");
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        Load();
    }
    return TRUE;
}
