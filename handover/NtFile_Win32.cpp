#include "handover/NtFile_Win32.h"

#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

bool Succeeded(NTSTATUS status, DWORD& err) {
    if (status >= 0) {
        return true;
    }
    err = RtlNtStatusToDosError(status);
    return false;
}

bool SetInformation(HANDLE file, void* information, ULONG size, FILE_INFORMATION_CLASS kind,
                    DWORD& err) {
    IO_STATUS_BLOCK io{};
    return Succeeded(NtSetInformationFile(file, &io, information, size, kind), err);
}

}  // namespace

HANDLE OpenAt(HANDLE dir, const fs::path& name, ACCESS_MASK access, ULONG options, DWORD& err) {
    const std::wstring& text = name.native();
    UNICODE_STRING unicode;
    unicode.Buffer = const_cast<PWSTR>(text.c_str());
    unicode.Length = unicode.MaximumLength = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    // Names are matched as Win32 matches them: letter case ignored.
    InitializeObjectAttributes(&attributes, &unicode, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    const NTSTATUS status =
        NtOpenFile(&handle, access | SYNCHRONIZE, &attributes, &io,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                   options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT);
    return Succeeded(status, err) ? handle : INVALID_HANDLE_VALUE;
}

bool MarkForDeletion(HANDLE file, DWORD& err) {
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    return SetInformation(file, &disposition, sizeof disposition, FileDispositionInformation, err);
}

bool RenameInto(HANDLE file, HANDLE dir, const fs::path& name, DWORD& err) {
    const std::wstring& text = name.native();
    const std::size_t bytes = text.size() * sizeof(wchar_t);
    // The record ends in the name; aligned as the record itself must be.
    std::vector<ULONGLONG> storage((sizeof(FILE_RENAME_INFORMATION) + bytes) / sizeof(ULONGLONG) +
                                   1);
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = dir;
    rename->FileNameLength = static_cast<ULONG>(bytes);
    std::memcpy(rename->FileName, text.data(), bytes);
    return SetInformation(file, rename, static_cast<ULONG>(storage.size() * sizeof(ULONGLONG)),
                          FileRenameInformation, err);
}

bool SetAttributes(HANDLE file, DWORD attributes, DWORD& err) {
    // Times of zero are left as they are.
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetInformation(file, &basic, sizeof basic, FileBasicInformation, err);
}
