#include <windows.h>

#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "handover/Directory.h"
#include "handover/DirectoryHandle_Win32.h"
#include "handover/FileInfo_Win32.h"
#include "handover/NtFile_Win32.h"
#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

namespace {

constexpr ACCESS_MASK kDirectoryAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE;

// No access right asked for but the attributes, so that nothing that holds the entry open is in
// the way.
constexpr ACCESS_MASK kQueryAccess = FILE_READ_ATTRIBUTES;

EntryKind KindOfAttributes(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return EntryKind::kOther;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kDirectory : EntryKind::kFile;
}

bool Gone(DWORD err) {
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool FactsOf(const ScopedHandle& handle, FileFacts& facts, DWORD& err) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!handle.valid()) {
        return false;
    }
    if (!GetFileInformationByHandle(handle.get(), &info)) {
        err = GetLastError();
        return false;
    }
    facts.attributes = info.dwFileAttributes;
    facts.id = IdentityOf(handle.get(), info);
    return true;
}

// What name in dir leads to, links and junctions followed, or (own) the entry itself.
bool QueryAt(HANDLE dir, const fs::path& name, bool own, FileFacts& facts, DWORD& err) {
    const ScopedHandle handle(
        OpenAt(dir, name, kQueryAccess, own ? FILE_OPEN_REPARSE_POINT : 0, err));
    return FactsOf(handle, facts, err);
}

bool IsReparsePointAt(HANDLE dir, const fs::path& name) {
    FileFacts own;
    DWORD err = 0;
    return QueryAt(dir, name, true, own, err) &&
           (own.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A file's read-only attribute, cleared for one step that Windows refuses on a read-only file
// (deleting it, renaming onto it, opening it to flush it), and set again when the object goes
// unless the step took the file away or Restore() set it already. No handle is held meanwhile:
// one would keep the file from being replaced.
class ReadOnlyCleared {
  public:
    ReadOnlyCleared(HANDLE dir, const fs::path& name) : dir_(dir), name_(name) {
        DWORD err = 0;
        const ScopedHandle handle = OpenForAttributes(err);
        FileFacts facts;
        if (FactsOf(handle, facts, err) && (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            SetAttributes(handle.get(), facts.attributes & ~FILE_ATTRIBUTE_READONLY, err)) {
            attributes_ = facts.attributes;
            cleared_ = true;
        }
    }
    ~ReadOnlyCleared() {
        DWORD err = 0;
        Restore(err);
    }
    ReadOnlyCleared(const ReadOnlyCleared&) = delete;
    ReadOnlyCleared& operator=(const ReadOnlyCleared&) = delete;

    // Whether the file was read-only and is writable now.
    bool Cleared() const { return cleared_; }
    // The file is gone, or another file has its name now: nothing is set again.
    void Dismiss() { cleared_ = false; }
    // Sets the attribute again now; false, with the error in err, when it fails.
    bool Restore(DWORD& err) {
        if (!cleared_) {
            return true;
        }
        cleared_ = false;
        const ScopedHandle handle = OpenForAttributes(err);
        return handle.valid() && SetAttributes(handle.get(), attributes_, err);
    }

  private:
    // Windows grants the right to write a read-only file's attributes; Wine refuses it to all but
    // root, and sets attributes through any handle.
    ScopedHandle OpenForAttributes(DWORD& err) const {
        ScopedHandle handle(OpenAt(dir_, name_, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                   FILE_OPEN_REPARSE_POINT, err));
        if (!handle.valid() && err == ERROR_ACCESS_DENIED) {
            handle.reset(OpenAt(dir_, name_, FILE_READ_ATTRIBUTES, FILE_OPEN_REPARSE_POINT, err));
        }
        return handle;
    }

    HANDLE dir_;
    fs::path name_;
    DWORD attributes_ = 0;
    bool cleared_ = false;
};

// Removes the entry name of dir itself, never what a link or junction leads to: true when it is
// marked for deletion, or not there; false, with the error in err, when it is not.
bool MarkEntryForDeletion(HANDLE dir, const fs::path& name, DWORD& err) {
    const ScopedHandle handle(OpenAt(dir, name, DELETE, FILE_OPEN_REPARSE_POINT, err));
    if (!handle.valid()) {
        return Gone(err);
    }
    return MarkForDeletion(handle.get(), err);
}

void RemoveAt(HANDLE dir, const fs::path& name, const fs::path& path) {
    DWORD err = 0;
    if (MarkEntryForDeletion(dir, name, err)) {
        return;
    }
    // Windows refuses to delete a read-only file; any other refusal stands. Should it stay (held
    // open, say), it keeps its attribute as it keeps its contents.
    if (err == ERROR_ACCESS_DENIED) {
        ReadOnlyCleared writable(dir, name);
        if (writable.Cleared() && MarkEntryForDeletion(dir, name, err)) {
            writable.Dismiss();
            return;
        }
    }
    ThrowWindowsError("remove", path, err);
}

// Reads the entries of the directory open at dir from the start, handing each name and its
// attributes, as the listing gives them (a link's or junction's own), to take; stops early when
// take returns false.
template <class Take>
void ReadEntries(HANDLE dir, const fs::path& path, Take take) {
    // Many entries a call; the records hold 64-bit fields.
    std::vector<ULONGLONG> buffer(64 * 1024 / sizeof(ULONGLONG));
    const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(ULONGLONG));
    for (auto kind = FileIdBothDirectoryRestartInfo;
         GetFileInformationByHandleEx(dir, kind, buffer.data(), size);
         kind = FileIdBothDirectoryInfo) {
        for (auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data());;
             entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(
                 reinterpret_cast<const char*>(entry) + entry->NextEntryOffset)) {
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L".." && !take(fs::path(name), entry->FileAttributes)) {
                return;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
        }
    }
    const DWORD err = GetLastError();
    if (err != ERROR_NO_MORE_FILES) {
        ThrowWindowsError("read directory", path, err);
    }
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

// What opened was, for a Directory: raises unless it is a directory.
FileId IdOfDirectory(const ScopedHandle& handle, const fs::path& path, DWORD err) {
    FileFacts facts;
    if (!FactsOf(handle, facts, err)) {
        ThrowWindowsError("open directory", path, err);
    }
    if ((facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ThrowWindowsError("open directory", path, ERROR_DIRECTORY);
    }
    return facts.id;
}

}  // namespace

Directory::Directory(const fs::path& path) : path_(path), handle_(new Handle) {
    handle_->dir.reset(CreateFileW(path.c_str(), kDirectoryAccess | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    id_ = IdOfDirectory(handle_->dir, path, GetLastError());
}

Directory::Directory(const Directory& parent, const fs::path& name)
    : path_(parent.Path() / name), handle_(new Handle) {
    DWORD err = 0;
    handle_->dir.reset(
        OpenAt(parent.Native().dir.get(), name, kDirectoryAccess, FILE_DIRECTORY_FILE, err));
    id_ = IdOfDirectory(handle_->dir, path_, err);
}

Directory::~Directory() = default;

DirectoryEntries Directory::List(bool (*wantFile)(const std::string& name)) const {
    DirectoryEntries entries;
    ReadEntries(handle_->dir.get(), path_, [&](const fs::path& name, DWORD attributes) {
        // The listing tells the kind of every entry but a reparse point (a link, a junction, or a
        // file a storage driver keeps elsewhere), which only the file system can resolve; one
        // that cannot be resolved, whatever the reason, leads nowhere the walk could go.
        FileFacts facts{attributes, {}};
        DWORD err = 0;
        const EntryKind kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0
                                   ? KindOfAttributes(attributes)
                               : QueryAt(handle_->dir.get(), name, false, facts, err)
                                   ? KindOfAttributes(facts.attributes)
                                   : EntryKind::kOther;
        // The name tests work on the path library's narrow form of the name.
        entries.Add(kind, name, kind == EntryKind::kFile && wantFile(name.string()));
        return true;
    });
    return entries;
}

EntryKind Directory::KindOf(const fs::path& name, FileId* id) const {
    FileFacts facts;
    DWORD err = 0;
    if (QueryAt(handle_->dir.get(), name, false, facts, err)) {
        if (id != nullptr) {
            *id = facts.id;
        }
        return KindOfAttributes(facts.attributes);
    }
    if (Gone(err) || IsReparsePointAt(handle_->dir.get(), name)) {
        return EntryKind::kOther;
    }
    ThrowWindowsError("status", path_ / name, err);
}

bool Directory::Exists(const fs::path& name) const {
    FileFacts facts;
    DWORD err = 0;
    if (QueryAt(handle_->dir.get(), name, false, facts, err)) {
        return true;
    }
    if (Gone(err)) {
        return false;
    }
    // A file deleted while another program (a scanner, the exiting client) still has it open
    // keeps its name until that program lets go, and Windows refuses every query of the name
    // meanwhile: the name is there for as long as that lasts.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_DELETE_PENDING) {
        return true;
    }
    // A link that cannot be followed leads to nothing that could be there.
    if (IsReparsePointAt(handle_->dir.get(), name)) {
        return false;
    }
    ThrowWindowsError("status", path_ / name, err);
}

bool Directory::IsLinkToOwnTarget(const fs::path& link, const fs::path& target) const {
    // Whether target's own way passes through link would need each link on it read, which
    // Windows does only for a symbolic link that the caller may read as one; a link to a file is
    // rare on Windows, and a target that is a link itself is replaced like any other.
    const HANDLE dir = handle_->dir.get();
    FileFacts linked, reached;
    DWORD err = 0;
    return IsReparsePointAt(dir, link) && !IsReparsePointAt(dir, target) &&
           QueryAt(dir, link, false, linked, err) && QueryAt(dir, target, false, reached, err) &&
           linked.id == reached.id;
}

void Directory::Remove(const fs::path& name) const {
    RemoveAt(handle_->dir.get(), name, path_ / name);
}

void Directory::RemoveAll(const fs::path& name) const {
    // Each pass goes down to a directory with no directory left in it, removes everything else in
    // it and then the directory itself, and starts again from the top. A directory is entered only
    // when its listing shows it is one itself: a junction or link is removed, never followed.
    const HANDLE top = handle_->dir.get();
    while (true) {
        DWORD own = INVALID_FILE_ATTRIBUTES;
        ReadEntries(top, path_, [&](const fs::path& entry, DWORD attributes) {
            if (_wcsicmp(entry.c_str(), name.c_str()) != 0) {
                return true;
            }
            own = attributes;
            return false;
        });
        if (own == INVALID_FILE_ATTRIBUTES) {
            return;
        }
        if ((own & FILE_ATTRIBUTE_DIRECTORY) == 0 || (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            Remove(name);
            return;
        }
        ScopedHandle above;
        fs::path current = name;
        fs::path path = path_ / name;
        while (true) {
            DWORD err = 0;
            ScopedHandle here(OpenAt(above.valid() ? above.get() : top, current,
                                     kDirectoryAccess | DELETE,
                                     FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, err));
            if (!here.valid()) {
                ThrowWindowsError("open directory", path, err);
            }
            fs::path below;
            ReadEntries(here.get(), path, [&](const fs::path& entry, DWORD attributes) {
                if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                    below = entry;
                    return false;
                }
                RemoveAt(here.get(), entry, path / entry);
                return true;
            });
            if (below.empty()) {
                if (!MarkForDeletion(here.get(), err)) {
                    ThrowWindowsError("remove", path, err);
                }
                break;
            }
            above = std::move(here);
            current = below;
            path /= below;
        }
    }
}

void Directory::Rename(const fs::path& from, const fs::path& to) const {
    const HANDLE dir = handle_->dir.get();
    DWORD err = 0;
    // Opened write-through, as MoveFileExW opens it for MOVEFILE_WRITE_THROUGH: the new name is on
    // the disk when the rename returns.
    const ScopedHandle file(
        OpenAt(dir, from, DELETE, FILE_OPEN_REPARSE_POINT | FILE_WRITE_THROUGH, err));
    if (file.valid()) {
        if (RenameInto(file.get(), dir, to, err)) {
            return;
        }
        // Windows refuses to rename onto a read-only file, as it refuses to delete one.
        if (err == ERROR_ACCESS_DENIED) {
            ReadOnlyCleared writable(dir, to);
            if (writable.Cleared()) {
                if (RenameInto(file.get(), dir, to, err)) {
                    writable.Dismiss();
                    return;
                }
            }
        }
    }
    throw fs::filesystem_error(
        "rename", path_ / from, path_ / to,
        boost::system::error_code(static_cast<int>(err), boost::system::system_category()));
}

// Windows has no hint to start writing a file out without waiting for it.
void Directory::StartFlush(const fs::path&) const {}

void Directory::FlushContents(const fs::path& name) const {
    const HANDLE dir = handle_->dir.get();
    const fs::path path = path_ / name;
    // FlushFileBuffers needs a handle with write access. The sharing lets whoever else has the
    // file open keep it; a program that shares no writing still holds it, and then it is not
    // ready.
    const auto open = [&](DWORD& err) {
        return ScopedHandle(OpenAt(dir, name, FILE_GENERIC_WRITE, FILE_NON_DIRECTORY_FILE, err));
    };
    const auto flush = [&](const ScopedHandle& file) {
        // Some file systems (network shares, FAT on removable drives) have nothing to flush.
        if (!FlushFileBuffers(file.get())) {
            const DWORD err = GetLastError();
            if (err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED) {
                ThrowWindowsError("flush", path, err);
            }
        }
    };
    DWORD err = 0;
    {
        const ScopedHandle file = open(err);
        if (file.valid()) {
            flush(file);
            return;
        }
    }
    // A read-only file refuses write access, and only write access flushes it: the attribute is
    // lifted for the flush, and the file goes in with it as it was staged.
    if (err == ERROR_ACCESS_DENIED) {
        ReadOnlyCleared writable(dir, name);
        if (writable.Cleared()) {
            {
                const ScopedHandle file = open(err);
                if (!file.valid()) {
                    ThrowWindowsError("open", path, err);
                }
                flush(file);
            }
            if (!writable.Restore(err)) {
                ThrowWindowsError("set attributes", path, err);
            }
            return;
        }
    }
    ThrowWindowsError("open", path, err);
}

// Every rename is written through: the names are on the disk as soon as it returns.
void Directory::FlushNames() const {}

// Windows has no ".." of its own that follows a junction back: the holders are the folders
// above both the path the run was started on and the path the system resolves it to.
void AddHolders(const fs::path& dir, std::vector<FileId>& holders) {
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
