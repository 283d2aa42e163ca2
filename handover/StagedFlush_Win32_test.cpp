// Staged files made durable together, as on Windows 8 and later: each file's data written out
// (NtFlushBuffersFileEx with FLUSH_FLAGS_FILE_DATA_ONLY), then one FlushFileBuffers per volume,
// all before the first target goes. Wine has no NtFlushBuffersFileEx: the program finds a
// stand-in when it looks the call up, which with FlushFileBuffers and NtSetInformationFile (the
// deletions) records what was asked. A program of its own, since the call is looked up once per
// process: the stand-in must be in place before any test of the process looks.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handover/FileSystem.h"
#include "handover/Handover.h"
#include "handover/InTree.h"
#include "tests/ImportHook_Win32.h"

namespace fs = boost::filesystem;

namespace {

// "data NAME" (FLUSH_FLAGS_FILE_DATA_ONLY), "other NAME" (any other flags), "flush NAME" and
// "delete NAME", in order.
std::vector<std::string> g_calls;
std::string g_dataFails;  // the staged file whose data cannot be written out
ImportHook* g_lookUp = nullptr;
ImportHook* g_flush = nullptr;
ImportHook* g_delete = nullptr;

constexpr ULONG kFlushFileDataOnly = 0x1;
constexpr LONG kStatusIoDeviceError = static_cast<LONG>(0xC0000185);

LONG WINAPI NtFlushBuffersFileExStandIn(HANDLE file, ULONG flags, PVOID, ULONG, PVOID) {
    const std::string name = FileNameOf(file);
    g_calls.push_back((flags == kFlushFileDataOnly ? "data " : "other ") + name);
    return name == g_dataFails ? kStatusIoDeviceError : 0;
}

FARPROC WINAPI LookUp(HMODULE module, LPCSTR name) {
    // A name, not an ordinal.
    if ((reinterpret_cast<ULONG_PTR>(name) >> 16) != 0 &&
        std::strcmp(name, "NtFlushBuffersFileEx") == 0) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(NtFlushBuffersFileExStandIn));
    }
    return g_lookUp->Original<decltype(&GetProcAddress)>()(module, name);
}

BOOL WINAPI RecordFlush(HANDLE file) {
    g_calls.push_back("flush " + FileNameOf(file));
    return g_flush->Original<decltype(&FlushFileBuffers)>()(file);
}

NTSTATUS NTAPI RecordDelete(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG size,
                            FILE_INFORMATION_CLASS kind) {
    if (kind == FileDispositionInformation) {
        g_calls.push_back("delete " + FileNameOf(file));
    }
    return g_delete->Original<decltype(&NtSetInformationFile)>()(file, io, information, size, kind);
}

// Three staged files, in the order of the walk: the root's, then sub's, then sub/deeper's.
const char* const kTargets[] = {"a", "sub/b", "sub/deeper/c"};

fs::path Staged(const fs::path& target) {
    return target.parent_path() / ("_tmp_" + target.filename().string());
}

class FlushedTogether : public InTree {
  protected:
    ImportHook lookUp{"kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(LookUp)};
    ImportHook flush{"kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(RecordFlush)};
    ImportHook deletion{"ntdll.dll", "NtSetInformationFile", reinterpret_cast<void*>(RecordDelete)};
    void SetUp() override {
        InTree::SetUp();
        g_lookUp = &lookUp;
        g_flush = &flush;
        g_delete = &deletion;
        g_calls.clear();
        g_dataFails.clear();
        for (const char* target : kTargets) {
            tree.Write(target, "old");
            tree.Write(Staged(target).string(), std::string("new ") + target);
        }
    }
    void ExpectInstalled() {
        for (const char* target : kTargets) {
            EXPECT_EQ(tree.Read(target), std::string("new ") + target);
            EXPECT_FALSE(tree.Exists(Staged(target).string()));
        }
        EXPECT_FALSE(g_errorFlag);
    }
};

// One device flush for the volume however many files, and every file's data on the disk before
// the first target goes.
TEST_F(FlushedTogether, DataOfEachFileThenOneDeviceFlushBeforeAnyTargetGoes) {
    InstallTmpFiles("./");
    ExpectInstalled();
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"data _tmp_a", "data _tmp_b", "data _tmp_c", "flush _tmp_a",
                                        "delete a", "delete b", "delete c"}));
}

// A file whose data could not be written out is not covered by the volume's flush: it is
// flushed on its own before its target goes, and the others are not flushed again.
TEST_F(FlushedTogether, FileWhoseDataCannotBeWrittenOutIsFlushedOnItsOwn) {
    g_dataFails = "_tmp_b";
    InstallTmpFiles("./");
    ExpectInstalled();
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"data _tmp_a", "data _tmp_b", "data _tmp_c", "flush _tmp_a",
                                        "delete a", "flush _tmp_b", "delete b", "delete c"}));
}

}  // namespace
