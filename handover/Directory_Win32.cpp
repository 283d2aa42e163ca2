#include <windows.h>

#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "handover/Directory.h"
#include "handover/FileInfo_Win32.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

namespace {

EntryKind KindOfAttributes(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return EntryKind::kOther;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kDirectory : EntryKind::kFile;
}

// The find data tells the kind of every entry but a reparse point (a link, a junction, or a
// file a storage driver keeps elsewhere), which only the file system can resolve. One that
// cannot be resolved, whatever the reason, leads nowhere the walk could go.
EntryKind Classify(const WIN32_FIND_DATAW& data, const fs::path& path) {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return KindOfAttributes(data.dwFileAttributes);
    }
    FileFacts facts;
    DWORD err = 0;
    return QueryFollowed(path, facts, err) ? KindOfAttributes(facts.attributes) : EntryKind::kOther;
}

// The long form "\\?\C:\..." or "\\?\UNC\server\share\..." that the system names a final path
// in, as an ordinary path.
fs::path WithoutLongPrefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return fs::path(L"\\\\" + path.substr(8));
    }
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return fs::path(path.substr(4));
    }
    return fs::path(path);
}

// The path the system resolves dir to, every junction and link on the way followed; empty when
// it cannot tell.
fs::path FinalPath(const fs::path& dir) {
    const ScopedHandle handle(
        CreateFileW(dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) {
        return fs::path();
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        const DWORD length = GetFinalPathNameByHandleW(
            handle.get(), &buffer[0], static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            return fs::path();
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return WithoutLongPrefix(buffer);
        }
        buffer.resize(length + 1);
    }
    return fs::path();
}

}  // namespace

EntryKind KindOf(const fs::path& path, DirectoryId* id) {
    FileFacts facts;
    DWORD err = 0;
    if (QueryFollowed(path, facts, err)) {
        if (id != nullptr) {
            *id = facts.id;
        }
        return KindOfAttributes(facts.attributes);
    }
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
        return EntryKind::kOther;
    }
    const DWORD own = GetFileAttributesW(path.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return EntryKind::kOther;
    }
    ThrowWindowsError("status", path, err);
}

fs::path ResolvedPath(const fs::path& dir) {
    const fs::path resolved = FinalPath(dir);
    if (resolved.empty()) {
        ThrowWindowsError("resolve", dir, GetLastError());
    }
    return resolved;
}

// Windows has no ".." of its own that follows a junction back: the holders are the folders
// above both the path the run was started on and the path the system resolves it to.
void AddHolders(const fs::path& dir, std::vector<DirectoryId>& holders) {
    FileFacts self;
    DWORD err = 0;
    if (!QueryFollowed(dir, self, err)) {
        ThrowWindowsError("open directory", dir, err);
    }
    for (const fs::path& way : std::vector<fs::path>{fs::absolute(dir), FinalPath(dir)}) {
        for (fs::path folder = way; folder.has_relative_path();) {
            folder = folder.parent_path();
            FileFacts facts;
            if (QueryFollowed(folder, facts, err) && !(facts.id == self.id)) {
                holders.push_back(facts.id);
            }
        }
    }
}

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
    FileFacts facts;
    DWORD err = 0;
    if (!QueryFollowed(path, facts, err)) {
        ThrowWindowsError("open directory", path, err);
    }
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        // In the portable form: the walk tells a directory that a file has replaced by it,
        // and Windows' own ERROR_DIRECTORY reads as an invalid argument.
        throw fs::filesystem_error(
            "open directory", path,
            boost::system::errc::make_error_code(boost::system::errc::not_a_directory));
    }
    id_ = facts.id;
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
                case EntryKind::kFile:
                    // The name tests work on the path library's narrow form of the name.
                    if (wantFile(path.filename().string())) {
                        entries.files.push_back(std::move(path));
                    }
                    break;
                case EntryKind::kDirectory:
                    entries.subdirectories.push_back(std::move(path));
                    break;
                case EntryKind::kOther:
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
