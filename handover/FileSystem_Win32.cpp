#include <windows.h>

#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "handover/FileInfo_Win32.h"
#include "handover/FileSystem.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

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
    // A link that cannot be followed (one that leads to itself, say) leads to nothing that could
    // be there, as a broken one does.
    const DWORD own = GetFileAttributesW(path.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    ThrowWindowsError("status", path, static_cast<DWORD>(ec.value()));
}

bool HeldByAnotherProgram(const boost::system::error_code& error) {
    return error.category() == boost::system::system_category() &&
           (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION);
}
