// crash-hook-probe: changes files the way a program that works relative to directory handles
// does, for the crash hook's own test. It imports ntdll's NtCreateFile, NtOpenFile,
// NtSetInformationFile, NtWriteFile and NtFlushBuffersFile, kernel32's
// SetFileInformationByHandle, looks NtFlushBuffersFileEx up, and in its working directory:
// creates "a" holding "hello" and writes it out; renames it to "b", sets b's times and deletes
// it; creates "c", writes its data out and deletes it. Exits 0, or 100 plus the step that failed.
// It also imports CreateHardLinkW, a call the hook has no stand-in for, and calls it only when
// given an argument, which the test never gives.
#include <windows.h>
#include <winternl.h>

#include <cstdio>

extern "C" {
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                           PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                           PULONG key);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io);
}

namespace {

constexpr ULONG kFileCreate = 2;
constexpr ULONG kSynchronousFile = 0x20 | 0x40;  // FILE_SYNCHRONOUS_IO_NONALERT, non-directory
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr auto kFileBasicInformation = static_cast<FILE_INFORMATION_CLASS>(4);
constexpr auto kFileDispositionInformation = static_cast<FILE_INFORMATION_CLASS>(13);

// The time the probe gives "b": 2001-01-01, in 100 ns since 1601.
constexpr LONGLONG kStampedTime = 126227808000000000LL;

struct BasicInformation {
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    ULONG fileAttributes;
};

struct RenameInformation {
    BOOLEAN replaceIfExists;
    HANDLE rootDirectory;
    ULONG fileNameLength;
    WCHAR fileName[2];
};

class Name {
  public:
    Name(HANDLE directory, const wchar_t* name) {
        RtlInitUnicodeString(&name_, name);
        InitializeObjectAttributes(&attributes_, &name_, OBJ_CASE_INSENSITIVE, directory, nullptr);
    }
    POBJECT_ATTRIBUTES Get() { return &attributes_; }

  private:
    UNICODE_STRING name_;
    OBJECT_ATTRIBUTES attributes_;
};

int Failed(int step, NTSTATUS status) {
    std::fprintf(stderr, "step %d failed: error %lu\n", step, RtlNtStatusToDosError(status));
    return 100 + step;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2) {
        return CreateHardLinkW(argv[1], argv[2], nullptr) ? 0 : 1;
    }
    const HANDLE directory =
        CreateFileW(L".", FILE_LIST_DIRECTORY | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return Failed(0, 0);
    }
    IO_STATUS_BLOCK io;
    HANDLE a = nullptr;
    NTSTATUS status =
        NtCreateFile(&a, GENERIC_WRITE | SYNCHRONIZE, Name(directory, L"a").Get(), &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, 0, kFileCreate, kSynchronousFile, nullptr, 0);
    if (status < 0) {
        return Failed(1, status);
    }
    char hello[] = "hello";
    LARGE_INTEGER start{};
    status = NtWriteFile(a, nullptr, nullptr, nullptr, &io, hello, 5, &start, nullptr);
    if (status < 0) {
        return Failed(2, status);
    }
    if ((status = NtFlushBuffersFile(a, &io)) < 0) {
        return Failed(3, status);
    }
    NtClose(a);

    HANDLE b = nullptr;
    status = NtOpenFile(&b, DELETE | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                        Name(directory, L"a").Get(), &io, kShareAll, kSynchronousFile);
    if (status < 0) {
        return Failed(4, status);
    }
    RenameInformation rename = {FALSE, directory, sizeof(WCHAR), {L'b', L'\0'}};
    if ((status = NtSetInformationFile(b, &io, &rename, sizeof rename, kFileRenameInformation)) <
        0) {
        return Failed(5, status);
    }
    BasicInformation basic{};
    basic.lastWriteTime.QuadPart = kStampedTime;
    if ((status = NtSetInformationFile(b, &io, &basic, sizeof basic, kFileBasicInformation)) < 0) {
        return Failed(6, status);
    }
    BOOLEAN deleteFile = TRUE;
    if ((status = NtSetInformationFile(b, &io, &deleteFile, sizeof deleteFile,
                                       kFileDispositionInformation)) < 0) {
        return Failed(7, status);
    }
    NtClose(b);

    using FlushEx = NTSTATUS(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK);
    const auto flushEx = reinterpret_cast<FlushEx>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFlushBuffersFileEx")));
    const HANDLE c = CreateFileW(L"c", GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (c == INVALID_HANDLE_VALUE) {
        return Failed(8, 0);
    }
    if (flushEx != nullptr && (status = flushEx(c, 0x1, nullptr, 0, &io)) < 0) {
        return Failed(9, status);
    }
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (!SetFileInformationByHandle(c, FileDispositionInfo, &dispose, sizeof dispose)) {
        return Failed(10, 0);
    }
    CloseHandle(c);
    CloseHandle(directory);
    return 0;
}
