#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "tests/TempTree.h"

namespace fs = boost::filesystem;

const char kPreferredSeparator = '\\';
const bool kPosixNames = false;

namespace {
// SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, which headers for Windows 7 do not name.
constexpr DWORD kAllowUnprivilegedCreate = 0x2;
}  // namespace

namespace {

// Wine's own export that names the Unix file behind a Windows path; null on Windows itself.
using UnixFileName = char*(CDECL*)(const WCHAR*);

UnixFileName WineUnixFileName() {
    return reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// Wine 8 cannot make links of its own: FSCTL_SET_REPARSE_POINT fails and CreateSymbolicLinkW
// does nothing. A Unix symbolic link in the tree is what it shows as one instead (a directory
// link as a directory reparse point, as Windows shows a junction), so under Wine the link is
// made by the Unix ln.
bool LinkUnderWine(const fs::path& link, const std::string& target, const fs::path& root) {
    const UnixFileName unixName = WineUnixFileName();
    if (unixName == nullptr) {
        return false;
    }
    char* name = unixName(fs::absolute(link).c_str());
    if (name == nullptr) {
        return false;
    }
    const std::vector<std::string> command = {"/bin/ln", "-s", target, name};
    HeapFree(GetProcessHeap(), 0, name);
    // Wine tells neither when a Unix program ends nor how: the link is looked for instead.
    RunProgram(command, std::filesystem::path(root.native()));
    return WaitFor([&link] { return fs::exists(fs::symlink_status(link)); }, kStartSeconds);
}

// A junction (mount point) at link, to the directory target.
bool MakeJunction(const fs::path& link, const fs::path& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    const HANDLE handle =
        CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).lexically_normal().wstring();
    const std::wstring print = fs::absolute(target).lexically_normal().wstring();
    const std::size_t subBytes = substitute.size() * sizeof(wchar_t);
    const std::size_t printBytes = print.size() * sizeof(wchar_t);
    // REPARSE_DATA_BUFFER's mount-point form: tag, length, then four offsets and the two names,
    // each ended by a NUL.
    const std::size_t dataBytes = 8 + subBytes + 2 + printBytes + 2;
    std::vector<unsigned char> buffer(8 + dataBytes, 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const WORD fields[] = {static_cast<WORD>(dataBytes),
                           0,
                           0,
                           static_cast<WORD>(subBytes),
                           static_cast<WORD>(subBytes + 2),
                           static_cast<WORD>(printBytes)};
    std::memcpy(buffer.data(), &tag, 4);
    std::memcpy(buffer.data() + 4, &fields[0], 2);  // then 2 reserved bytes
    std::memcpy(buffer.data() + 8, &fields[2], 8);
    std::memcpy(buffer.data() + 16, substitute.data(), subBytes);
    std::memcpy(buffer.data() + 16 + subBytes + 2, print.data(), printBytes);
    DWORD returned = 0;
    const bool made =
        DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr) != 0;
    CloseHandle(handle);
    if (!made) {
        RemoveDirectoryW(link.c_str());
    }
    return made;
}

void ClearReadOnly(const fs::path& root) {
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const DWORD attributes = GetFileAttributesW(it->path().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
            SetFileAttributesW(it->path().c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        }
    }
}

}  // namespace

namespace {

// Removes every link and junction below dir, without following any: the removal of the scratch
// folder that comes next would otherwise go through them, into folders outside it, and round
// the loops that some tests make.
void RemoveLinks(const fs::path& dir) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW((dir / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const fs::path path = dir / name;
        const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (directory) {
                RemoveDirectoryW(path.c_str());
            } else {
                DeleteFileW(path.c_str());
            }
        } else if (directory) {
            RemoveLinks(path);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

// Under Wine the links are Unix ones, which Wine shows as directories; the Unix rm removes them
// without following any. False on Windows itself.
bool RemoveUnderWine(const fs::path& dir) {
    const UnixFileName unixName = WineUnixFileName();
    if (unixName == nullptr) {
        return false;
    }
    char* name = unixName(fs::absolute(dir).c_str());
    if (name == nullptr) {
        return false;
    }
    const std::vector<std::string> command = {"/bin/rm", "-rf", "--", name};
    HeapFree(GetProcessHeap(), 0, name);
    RunProgram(command, std::filesystem::path(dir.parent_path().native()));
    // Wine tells neither when a Unix program ends nor how: the folder is watched instead.
    return WaitFor([&dir] { return !fs::exists(fs::symlink_status(dir)); }, 30.0);
}

}  // namespace

// A read-only file, or a link, would stop the scratch folder's removal, or lead it out of the
// scratch folder.
TempTree::~TempTree() {
    if (!RemoveUnderWine(Scratch())) {
        ClearReadOnly(root_);
        RemoveLinks(Scratch());
    }
}

void TempTree::Link(const std::string& relative, const std::string& target) const {
    const fs::path link = root_ / relative;
    fs::create_directories(link.parent_path());
    const fs::path resolved = link.parent_path() / target;
    const bool directory = fs::is_directory(resolved);
    bool made = directory ? MakeJunction(link, resolved)
                          : CreateSymbolicLinkW(link.c_str(), fs::path(target).c_str(),
                                                kAllowUnprivilegedCreate) &&
                                fs::exists(fs::symlink_status(link));
    if (!made) {
        made = LinkUnderWine(link, target, root_);
    }
    if (!made) {
        throw std::runtime_error("cannot make a link at " + relative);
    }
}

bool TempTree::MakeFifo(const std::string&) const {
    return false;
}

// Windows makes them where the user may (developer mode, or an administrator); Wine makes none of
// its own, and shows a Unix link to a file as the file itself.
bool TempTree::NativeLinks() const {
    static const bool possible = [] {
        const ScratchDir dir("handover-link-probe");
        const fs::path file = fs::path(dir.Path().native()) / "file";
        const fs::path link = fs::path(dir.Path().native()) / "link";
        const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(handle);
        if (!CreateSymbolicLinkW(link.c_str(), L"file", kAllowUnprivilegedCreate)) {
            return false;
        }
        const DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }();
    return possible;
}
