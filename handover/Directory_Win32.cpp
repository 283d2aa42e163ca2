#include <windows.h>

#include <string>
#include <vector>

#include "handover/Directory.h"
#include "handover/FileInfo_Win32.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

namespace {

enum class Kind { kFile, kDirectory, kOther };

Kind KindOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return Kind::kOther;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kDirectory : Kind::kFile;
}

// The find data tells the kind of every entry but a reparse point (a link, a junction, or a
// file a storage driver keeps elsewhere), which only the file system can resolve.
Kind Classify(const WIN32_FIND_DATAW& data, const fs::path& path) {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return KindOf(data.dwFileAttributes);
    }
    BY_HANDLE_FILE_INFORMATION info;
    DWORD err = 0;
    if (QueryFollowed(path, info, err)) {
        return KindOf(info.dwFileAttributes);
    }
    // A link whose target is missing, or that leads round in a circle, is broken.
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ||
        err == ERROR_CANT_RESOLVE_FILENAME || err == ERROR_INVALID_REPARSE_DATA ||
        err == ERROR_NOT_A_REPARSE_POINT || err == ERROR_CANT_ACCESS_FILE) {
        return Kind::kOther;
    }
    ThrowWindowsError("status", path, err);
}

}  // namespace

struct Directory::Handle {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW first;
    ~Handle() {
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
        }
    }
};

Directory::Directory(const fs::path& path) : path_(path), handle_(new Handle) {
    BY_HANDLE_FILE_INFORMATION info;
    DWORD err = 0;
    if (!QueryFollowed(path, info, err)) {
        ThrowWindowsError("open directory", path, err);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        // In the portable form: the walk tells a directory that a file has replaced by it,
        // and Windows' own ERROR_DIRECTORY reads as an invalid argument.
        throw fs::filesystem_error(
            "open directory", path,
            boost::system::errc::make_error_code(boost::system::errc::not_a_directory));
    }
    // The volume and the file index name a directory whatever path or junction reaches it.
    id_ = DirectoryId{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    // One call fetches many entries at once; the basic level leaves out the short names.
    handle_->find = FindFirstFileExW((path / L"*").c_str(), FindExInfoBasic, &handle_->first,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (handle_->find == INVALID_HANDLE_VALUE) {
        ThrowWindowsError("open directory", path, GetLastError());
    }
}

Directory::~Directory() = default;

DirectoryEntries Directory::ReadAndClose(bool (*wantFile)(const std::string& name)) {
    DirectoryEntries entries;
    WIN32_FIND_DATAW data = handle_->first;
    while (true) {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            fs::path path = path_ / name;
            switch (Classify(data, path)) {
                case Kind::kFile:
                    // The name tests work on the path library's narrow form of the name.
                    if (wantFile(path.filename().string())) {
                        entries.files.push_back(std::move(path));
                    }
                    break;
                case Kind::kDirectory:
                    entries.subdirectories.push_back(std::move(path));
                    break;
                case Kind::kOther:
                    break;
            }
        }
        if (!FindNextFileW(handle_->find, &data)) {
            const DWORD err = GetLastError();
            if (err != ERROR_NO_MORE_FILES) {
                ThrowWindowsError("read directory", path_, err);
            }
            break;
        }
    }
    handle_.reset();
    return entries;
}
