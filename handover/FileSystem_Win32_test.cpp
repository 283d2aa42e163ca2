// What Windows refuses and Wine allows: a rename onto a read-only file, the deletion of a file in
// use, any query of a name whose file is pending deletion, write access to a read-only file for
// anyone, and a file held by a byte-range lock; a disk that fills up; and what Wine does without
// a trace: a flush, a rename written through. Each refusal is made as Windows makes it, and each
// call recorded, at the system call (the native NtOpenFile and NtSetInformationFile that the
// program acts on a directory's entries with, and kernel32's own), with the real files of a
// scratch tree behind it.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/operations.hpp>

#include "handover/Directory.h"
#include "handover/Errors.h"
#include "handover/FileSystem.h"
#include "handover/Handover.h"
#include "handover/InTree.h"
#include "handover/Main_Win32.h"
#include "tests/ImportHook_Win32.h"

namespace fs = boost::filesystem;

namespace {

bool IsReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void MakeReadOnly(const fs::path& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

bool Named(LPCWSTR path, const std::wstring& name) {
    return path != nullptr && _wcsicmp(fs::path(path).filename().c_str(), name.c_str()) == 0;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

// --- Renaming onto a read-only file, deleting a file in use ------------------------------------

using SetInformationCall = decltype(&NtSetInformationFile);
using OpenCall = decltype(&NtOpenFile);

// The name that a rename's record gives, as a path in the directory it names.
std::wstring RenameTarget(PVOID information) {
    const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(information);
    const std::wstring name(rename->FileName, rename->FileNameLength / sizeof(wchar_t));
    return rename->RootDirectory == nullptr ? name : PathOf(rename->RootDirectory) + L"\\" + name;
}

// Windows will not rename onto a read-only file (ERROR_ACCESS_DENIED), and will not delete a
// file that a running program has mapped (the name in g_mapped).
ImportHook* g_refusingSet = nullptr;
std::wstring g_mapped;

NTSTATUS NTAPI SetRefusing(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                           FILE_INFORMATION_CLASS kind) {
    if (kind == FileRenameInformation) {
        const DWORD attributes = GetFileAttributesW(RenameTarget(information).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return kStatusAccessDenied;
        }
    }
    if (kind == FileDispositionInformation && Named(PathOf(file).c_str(), g_mapped)) {
        return kStatusCannotDelete;
    }
    return g_refusingSet->Original<SetInformationCall>()(file, io, information, size, kind);
}

class ReadOnlyDestination : public InTree {
  protected:
    ImportHook hook{"ntdll.dll", "NtSetInformationFile", reinterpret_cast<void*>(SetRefusing)};
    void SetUp() override {
        InTree::SetUp();
        g_refusingSet = &hook;
        g_mapped.clear();
    }
};

// Once rt-0.jar.old is read-only, every run would install, fail at the rotation and never start
// the client.
TEST_F(ReadOnlyDestination, RuntimeArchiveRotatesOntoAReadOnlyOldOne) {
    tree.Write("rt/lib/rt-0.jar", "new");
    tree.Write("rt/lib/rt-0.jar.old", "older");
    MakeReadOnly(tree / "rt/lib/rt-0.jar.old");
    RotateRuntimeArchive();
    EXPECT_FALSE(tree.Exists("rt/lib/rt-0.jar"));
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "new");
    EXPECT_FALSE(IsReadOnly(tree / "rt/lib/rt-0.jar.old")) << "the archive's own attributes";
}

// The attribute was not what kept it: the old archive stays as it was, attribute included.
TEST_F(ReadOnlyDestination, OldArchiveInUseKeepsItsAttribute) {
    tree.Write("rt/lib/rt-0.jar", "new");
    tree.Write("rt/lib/rt-0.jar.old", "older");
    MakeReadOnly(tree / "rt/lib/rt-0.jar.old");
    g_mapped = L"rt-0.jar.old";
    EXPECT_THROW(RotateRuntimeArchive(), fs::filesystem_error);
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar"), "new");
    EXPECT_EQ(tree.Read("rt/lib/rt-0.jar.old"), "older");
    EXPECT_TRUE(IsReadOnly(tree / "rt/lib/rt-0.jar.old"));
}

// A name that reappears read-only between the removal and the rename is replaced all the same,
// and the file that takes its place keeps its own attributes.
TEST_F(ReadOnlyDestination, RenameOntoAReadOnlyFileReplacesIt) {
    tree.Write("a", "new");
    tree.Write("b", "old");
    MakeReadOnly(tree / "b");
    const Directory dir("./");
    dir.Rename("a", "b");
    EXPECT_FALSE(tree.Exists("a"));
    EXPECT_EQ(tree.Read("b"), "new");
    EXPECT_FALSE(IsReadOnly(tree / "b"));
}

// --- Names pending deletion ---------------------------------------------------------------------

// A file deleted while a scanner holds it with delete sharing: the name stays until the scanner
// lets go, and meanwhile Windows refuses every query and every delete of it with
// ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING). Here the file itself goes at once; its name is
// refused until g_letGo. The session file is deleted by the test (DeleteFileW) and waited for
// by path (GetFileAttributesW); a target is deleted and looked for in its directory
// (NtSetInformationFile, NtOpenFile).
ImportHook* g_attributes = nullptr;
ImportHook* g_delete = nullptr;
ImportHook* g_pendingOpen = nullptr;
ImportHook* g_pendingSet = nullptr;
std::wstring g_held;  // the name a scanner holds; deleting it makes it pending
std::wstring g_pending;
std::chrono::steady_clock::time_point g_letGo;
constexpr auto kScannerHolds = std::chrono::milliseconds(700);

bool IsPending(LPCWSTR path) {
    return Named(path, g_pending) && std::chrono::steady_clock::now() < g_letGo;
}

void Deleted(LPCWSTR path) {
    if (Named(path, g_held)) {
        g_pending = g_held;
        g_letGo = std::chrono::steady_clock::now() + kScannerHolds;
    }
}

DWORD WINAPI AttributesOfPending(LPCWSTR path) {
    if (IsPending(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    return g_attributes->Original<decltype(&GetFileAttributesW)>()(path);
}

BOOL WINAPI DeleteWhileHeld(LPCWSTR path) {
    if (IsPending(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const BOOL deleted = g_delete->Original<decltype(&DeleteFileW)>()(path);
    if (deleted) {
        Deleted(path);
    }
    return deleted;
}

NTSTATUS NTAPI OpenPending(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                           PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    if (IsPending(NameOf(attributes).c_str())) {
        return kStatusDeletePending;
    }
    return g_pendingOpen->Original<OpenCall>()(handle, access, attributes, io, share, options);
}

NTSTATUS NTAPI DisposeWhileHeld(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                                FILE_INFORMATION_CLASS kind) {
    const std::wstring path = PathOf(file);
    const NTSTATUS status =
        g_pendingSet->Original<SetInformationCall>()(file, io, information, size, kind);
    if (status >= 0 && kind == FileDispositionInformation) {
        Deleted(path.c_str());
    }
    return status;
}

class PendingDelete : public InTree {
  protected:
    ImportHook attributes{"kernel32.dll", "GetFileAttributesW",
                          reinterpret_cast<void*>(AttributesOfPending)};
    ImportHook deletion{"kernel32.dll", "DeleteFileW", reinterpret_cast<void*>(DeleteWhileHeld)};
    ImportHook open{"ntdll.dll", "NtOpenFile", reinterpret_cast<void*>(OpenPending)};
    ImportHook set{"ntdll.dll", "NtSetInformationFile", reinterpret_cast<void*>(DisposeWhileHeld)};
    void SetUp() override {
        InTree::SetUp();
        g_attributes = &attributes;
        g_delete = &deletion;
        g_pendingOpen = &open;
        g_pendingSet = &set;
        g_held.clear();
        g_pending.clear();
    }
};

// The client deletes its session file as it exits; a scanner that holds it keeps the name a
// moment longer, and the wait goes on until it lets go.
TEST_F(PendingDelete, SessionFileThatAScannerHoldsIsWaitedFor) {
    tree.Write("session.dat", "");
    g_held = L"session.dat";
    ASSERT_TRUE(DeleteFileW((tree / "session.dat").c_str()));
    const auto start = std::chrono::steady_clock::now();
    AwaitClientExit();
    EXPECT_GE(std::chrono::steady_clock::now() - start, kScannerHolds);
    EXPECT_EQ(Log().back(), "Session file has been deleted. The client process has exited.");
    EXPECT_FALSE(g_errorFlag);
}

// The target's removal leaves its name pending: the attempts wait for it as for any target that
// stays, and the staged file goes in once the name has gone.
TEST_F(PendingDelete, TargetThatAScannerHoldsIsReplacedOnceLetGo) {
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    g_held = L"a";
    InstallTmpFiles("./");
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_FALSE(tree.Exists("_tmp_a"));
    const std::vector<std::string> log = Log();
    const std::string a = Quoted(NativeTarget("./a"));
    EXPECT_FALSE(Matching(log, "WARNING: unable to delete file: " + a).empty());
    EXPECT_EQ(Matching(log, "File: " + a + " deleted (OK)").size(), 1u);
    EXPECT_EQ(log.back(), "File renamed (OK)");
    EXPECT_FALSE(g_errorFlag);
}

// Only a name whose query is refused counts as there; a name that is gone is gone, and any
// other failure of the query is an error of the run.
TEST(EntryExists, OnlyRefusedQueriesCountAsPresent) {
    struct Case {
        DWORD error;
        const char* expected;  // "there", "gone" or "raises"
    } cases[] = {
        {ERROR_ACCESS_DENIED, "there"},     {ERROR_DELETE_PENDING, "there"},
        {ERROR_SHARING_VIOLATION, "there"}, {ERROR_FILE_NOT_FOUND, "gone"},
        {ERROR_PATH_NOT_FOUND, "gone"},     {ERROR_IO_DEVICE, "raises"},
    };
    static DWORD s_error = 0;
    struct Refuse {
        static DWORD WINAPI Attributes(LPCWSTR) {
            SetLastError(s_error);
            return INVALID_FILE_ATTRIBUTES;
        }
    };
    const ImportHook refuse("kernel32.dll", "GetFileAttributesW",
                            reinterpret_cast<void*>(Refuse::Attributes));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        s_error = c.error;
        std::string outcome;
        try {
            outcome = EntryExists("x") ? "there" : "gone";
        } catch (const fs::filesystem_error& e) {
            outcome = "raises";
            EXPECT_EQ(e.code().value(), static_cast<int>(c.error));
        }
        EXPECT_EQ(outcome, c.expected);
    }
}

// --- The staged file's flush --------------------------------------------------------------------

// Opening the staged file g_refused to write to it fails with g_status g_times times: a scanner
// that shares no writing (a sharing violation), a byte-range lock (a lock conflict), or what
// Windows says to anyone of a read-only file (access denied).
ImportHook* g_open = nullptr;
std::wstring g_refused;
NTSTATUS g_status = 0;
int g_times = 0;
bool g_readOnlyRefused = false;
int g_writersOfRefused = 0;  // write-access opens of g_refused that succeeded

NTSTATUS NTAPI OpenRefusing(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                            PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    const bool writing = (access & FILE_WRITE_DATA) != 0;
    const std::wstring path = PathOf(attributes);
    if (writing) {
        // The access check comes before the sharing check.
        const DWORD own = GetFileAttributesW(path.c_str());
        if (g_readOnlyRefused && own != INVALID_FILE_ATTRIBUTES &&
            (own & FILE_ATTRIBUTE_READONLY) != 0) {
            return kStatusAccessDenied;
        }
        if (Named(path.c_str(), g_refused) && g_times > 0) {
            --g_times;
            return g_status;
        }
    }
    const NTSTATUS status =
        g_open->Original<OpenCall>()(handle, access, attributes, io, share, options);
    if (status >= 0 && writing && Named(path.c_str(), g_refused)) {
        ++g_writersOfRefused;
    }
    return status;
}

class RefusedFlush : public InTree {
  protected:
    ImportHook hook{"ntdll.dll", "NtOpenFile", reinterpret_cast<void*>(OpenRefusing)};
    void SetUp() override {
        InTree::SetUp();
        g_open = &hook;
        g_refused = L"_tmp_a";
        g_times = 0;
        g_readOnlyRefused = false;
        g_writersOfRefused = 0;
        tree.Write("a", "old");
        tree.Write("_tmp_a", "new");
    }
};

// A program that holds the staged file for a moment is waited for, one warning per attempt;
// any other refusal fails the file at once, and its target stays.
TEST_F(RefusedFlush, OnlyAProgramHoldingTheFileIsWaitedFor) {
    struct Case {
        NTSTATUS status;
        bool waited;
    } cases[] = {
        {kStatusSharingViolation, true},
        {kStatusFileLockConflict, true},
        {kStatusAccessDenied, false},  // not read-only: the file is not this user's to write
        {kStatusObjectNameNotFound, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        g_log.str("");
        g_errorFlag = false;
        tree.Write("a", "old");
        tree.Write("_tmp_a", "new");
        g_status = c.status;
        g_times = 3;
        const std::string warning = "WARNING: unable to flush file: \"./_tmp_a\" (retrying)";
        if (c.waited) {
            InstallTmpFiles("./");
            EXPECT_EQ(tree.Read("a"), "new");
            EXPECT_EQ(Matching(Log(), "WARNING: "), std::vector<std::string>(3, warning));
            EXPECT_FALSE(g_errorFlag);
        } else {
            EXPECT_THROW(InstallTmpFiles("./"), RemoveDestinationFileError);
            EXPECT_EQ(tree.Read("a"), "old");
            EXPECT_EQ(tree.Read("_tmp_a"), "new");
            EXPECT_EQ(Matching(Log(), "WARNING: "), std::vector<std::string>{});
            EXPECT_EQ(
                Matching(Log(), "ERROR: file: \"./_tmp_a\" could not be flushed to disk: ").size(),
                1u);
            EXPECT_TRUE(g_errorFlag);
        }
    }
}

// Windows gives no one write access to a read-only file, and only a handle with write access
// flushes it: the staged file is opened writable to be flushed, and goes in with its attribute.
TEST_F(RefusedFlush, ReadOnlyStagedFileIsFlushedAndKeepsItsAttribute) {
    g_readOnlyRefused = true;
    MakeReadOnly(tree / "_tmp_a");
    InstallTmpFiles("./");
    EXPECT_EQ(g_writersOfRefused, 1) << "never opened to be flushed";
    EXPECT_EQ(tree.Read("a"), "new");
    EXPECT_TRUE(IsReadOnly(tree / "a"));
    EXPECT_FALSE(g_errorFlag);
}

// Held by a scanner while read-only: the attribute is set back before each wait, so that the
// file is never left writable.
TEST_F(RefusedFlush, ReadOnlyStagedFileThatStaysHeldKeepsItsAttribute) {
    g_readOnlyRefused = true;
    g_status = kStatusSharingViolation;
    g_times = 1000;
    MakeReadOnly(tree / "_tmp_a");
    EXPECT_THROW(InstallTmpFiles("./"), RemoveDestinationFileError);
    EXPECT_TRUE(IsReadOnly(tree / "_tmp_a"));
    EXPECT_EQ(tree.Read("a"), "old");
    EXPECT_EQ(Matching(Log(), "WARNING: unable to flush file: ").size(), 19u);
}

// What Windows says when the attribute cannot be set (a file system that keeps none, say).
const ImportHook* g_setAttributes = nullptr;

NTSTATUS NTAPI SetRefusingReadOnly(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                                   FILE_INFORMATION_CLASS kind) {
    if (kind == FileBasicInformation &&
        (static_cast<const FILE_BASIC_INFORMATION*>(information)->FileAttributes &
         FILE_ATTRIBUTE_READONLY) != 0) {
        return kStatusAccessDenied;
    }
    return g_setAttributes->Original<SetInformationCall>()(file, io, information, size, kind);
}

// Installed without its attribute, the file would go in writable: it is not installed, as one
// that cannot be flushed, and its target stays.
TEST_F(RefusedFlush, ReadOnlyStagedFileWhoseAttributeCannotBeSetBackIsNotInstalled) {
    g_readOnlyRefused = true;
    MakeReadOnly(tree / "_tmp_a");
    const ImportHook refuse("ntdll.dll", "NtSetInformationFile",
                            reinterpret_cast<void*>(SetRefusingReadOnly));
    g_setAttributes = &refuse;
    EXPECT_THROW(InstallTmpFiles("./"), RemoveDestinationFileError);
    EXPECT_EQ(g_writersOfRefused, 1);
    EXPECT_EQ(tree.Read("a"), "old");
    EXPECT_EQ(tree.Read("_tmp_a"), "new");
    EXPECT_EQ(Matching(Log(), "ERROR: file: \"./_tmp_a\" could not be flushed to disk: ").size(),
              1u);
}

// --- What reaches the disk, and when ------------------------------------------------------------

// Wine turns FlushFileBuffers into an fsync that no Windows program sees, and writes nothing
// through: the calls are recorded as "flush NAME", "delete NAME" and "move FROM TO", with
// " write-through" when the file was opened to have its rename written through, as MoveFileExW
// opens it for MOVEFILE_WRITE_THROUGH.
std::vector<std::string> g_calls;
std::vector<HANDLE> g_writingThrough;
ImportHook* g_recordedFlush = nullptr;
ImportHook* g_recordedOpen = nullptr;
ImportHook* g_recordedSet = nullptr;

BOOL WINAPI RecordFlush(HANDLE file) {
    g_calls.push_back("flush " + FileNameOf(file));
    return g_recordedFlush->Original<decltype(&FlushFileBuffers)>()(file);
}

NTSTATUS NTAPI RecordOpen(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                          PIO_STATUS_BLOCK io, ULONG share, ULONG options) {
    const NTSTATUS status =
        g_recordedOpen->Original<OpenCall>()(handle, access, attributes, io, share, options);
    if (status >= 0 && (options & FILE_WRITE_THROUGH) != 0) {
        g_writingThrough.push_back(*handle);
    }
    return status;
}

NTSTATUS NTAPI RecordSet(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                         FILE_INFORMATION_CLASS kind) {
    if (kind == FileDispositionInformation) {
        g_calls.push_back("delete " + FileNameOf(file));
    } else if (kind == FileRenameInformation) {
        const bool through = std::find(g_writingThrough.begin(), g_writingThrough.end(), file) !=
                             g_writingThrough.end();
        g_calls.push_back("move " + FileNameOf(file) + " " +
                          fs::path(RenameTarget(information)).filename().string() +
                          (through ? " write-through" : ""));
    }
    return g_recordedSet->Original<SetInformationCall>()(file, io, information, size, kind);
}

class RecordedCalls : public InTree {
  protected:
    ImportHook flush{"kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(RecordFlush)};
    ImportHook open{"ntdll.dll", "NtOpenFile", reinterpret_cast<void*>(RecordOpen)};
    ImportHook set{"ntdll.dll", "NtSetInformationFile", reinterpret_cast<void*>(RecordSet)};
    void SetUp() override {
        InTree::SetUp();
        g_recordedFlush = &flush;
        g_recordedOpen = &open;
        g_recordedSet = &set;
        g_calls.clear();
        g_writingThrough.clear();
    }
};

// Without NtFlushBuffersFileEx (Windows 7, Wine) each staged file is flushed on its own before
// its target goes, and every rename, the runtime archive's too, returns once it is on the disk.
TEST_F(RecordedCalls, EachStagedFileIsFlushedBeforeItsTargetGoesAndRenamesWriteThrough) {
    tree.Write("a", "old a");
    tree.Write("_tmp_a", "new a");
    tree.Write("sub/b", "old b");
    tree.Write("sub/_tmp_b", "new b");
    tree.Write("rt/lib/rt-0.jar", "new");
    InstallTmpFiles("./");
    RotateRuntimeArchive();
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"flush _tmp_a", "delete a", "move _tmp_a a write-through",
                                        "flush _tmp_b", "delete b", "move _tmp_b b write-through",
                                        "move rt-0.jar rt-0.jar.old write-through"}));
    EXPECT_FALSE(g_errorFlag);
}

// --- The failure report -------------------------------------------------------------------------

// A disk that fills up in the middle of a record: WriteFile writes what fits, then fails.
const ImportHook* g_write = nullptr;
DWORD g_room = 0;

BOOL WINAPI WriteUntilFull(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    if (g_room == 0) {
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    const DWORD fits = std::min(size, g_room);
    g_room -= fits;
    return g_write->Original<decltype(&WriteFile)>()(file, data, fits, written, overlapped);
}

// Records carry no length: what a failed append wrote is taken back, so that the records
// before it, and the ones appended later, still read.
TEST(AppendToFile, RecordCutShortIsTakenBack) {
    TempTree tree;
    tree.Write("poker.jex", "earlier!");
    g_room = 5;
    {
        const ImportHook full("kernel32.dll", "WriteFile", reinterpret_cast<void*>(WriteUntilFull));
        g_write = &full;
        EXPECT_THROW(AppendToFile(tree / "poker.jex", std::string(16, 'r')), fs::filesystem_error);
    }
    EXPECT_EQ(tree.Read("poker.jex"), "earlier!");
}

}  // namespace
