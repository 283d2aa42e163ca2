// The listing where Wine does not list as Windows does: Windows lists a symbolic link to a file
// with the reparse-point attribute, which Wine never shows, and a listing can break off midway (a
// share that goes away). The listing the system hands over is altered at
// GetFileInformationByHandleEx, with the real entries of a scratch tree behind it.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>

#include "handover/Directory.h"
#include "handover/InTree.h"
#include "tests/ImportHook_Win32.h"

namespace fs = boost::filesystem;

namespace {

ImportHook* g_list = nullptr;
std::wstring g_link;    // the entry listed as a reparse point, as Windows lists a link
DWORD g_breakWith = 0;  // once set, the listing breaks off after its first part with this error

BOOL WINAPI ListMarking(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer, DWORD size) {
    if (kind == FileIdBothDirectoryInfo && g_breakWith != 0) {
        SetLastError(g_breakWith);
        return FALSE;
    }
    const BOOL listed =
        g_list->Original<decltype(&GetFileInformationByHandleEx)>()(file, kind, buffer, size);
    if (listed && (kind == FileIdBothDirectoryInfo || kind == FileIdBothDirectoryRestartInfo)) {
        for (auto* entry = static_cast<FILE_ID_BOTH_DIR_INFO*>(buffer);;
             entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(reinterpret_cast<char*>(entry) +
                                                              entry->NextEntryOffset)) {
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (_wcsicmp(name.c_str(), g_link.c_str()) == 0) {
                entry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
        }
    }
    return listed;
}

bool AnyFile(const std::string&) {
    return true;
}

std::vector<std::string> Names(const std::vector<fs::path>& paths) {
    std::vector<std::string> names;
    for (const fs::path& path : paths) {
        names.push_back(path.filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Listing : public InTree {
  protected:
    ImportHook list{"kernel32.dll", "GetFileInformationByHandleEx",
                    reinterpret_cast<void*>(ListMarking)};
    void SetUp() override {
        InTree::SetUp();
        g_list = &list;
        g_link.clear();
        g_breakWith = 0;
    }
};

// A reparse point is whatever it leads to: a link to a file is a file of the walk (a staged one
// replaces its target), a link to a directory a subdirectory.
TEST_F(Listing, ReparsePointIsListedAsWhatItLeadsTo) {
    struct Case {
        const wchar_t* link;
        std::vector<std::string> files, subdirectories;
    } cases[] = {
        {L"_tmp_a", {"_tmp_a", "a"}, {"sub"}},
        {L"sub", {"_tmp_a", "a"}, {"sub"}},
    };
    tree.Write("a", "old");
    tree.Write("_tmp_a", "new");
    tree.MakeDir("sub");
    for (const Case& c : cases) {
        SCOPED_TRACE(fs::path(c.link).string());
        g_link = c.link;
        Directory dir("./");
        const DirectoryEntries entries = dir.List(AnyFile);
        EXPECT_EQ(Names(entries.files), c.files);
        EXPECT_EQ(Names(entries.subdirectories), c.subdirectories);
    }
}

// A listing that breaks off is an error of the walk: cut short, it would pass for the whole
// directory, and the run would start the client on an update installed in part.
TEST_F(Listing, ListingThatBreaksOffRaises) {
    tree.Write("a", "");
    tree.Write("b", "");
    Directory dir("./");
    g_breakWith = ERROR_NETNAME_DELETED;
    try {
        dir.List(AnyFile);
        ADD_FAILURE() << "a listing cut short passed for a whole one";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_NETNAME_DELETED);
    }
}

}  // namespace
