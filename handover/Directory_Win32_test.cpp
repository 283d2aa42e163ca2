// The listing where Wine does not list as Windows does: Windows lists a symbolic link to a file
// with the reparse-point attribute, which Wine never shows, and a listing can break off midway (a
// share that goes away). The listing the system hands over is altered at FindFirstFileExW and
// FindNextFileW, with the real entries of a scratch tree behind it.
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

ImportHook* g_first = nullptr;
ImportHook* g_next = nullptr;
std::wstring g_link;    // the entry listed as a reparse point, as Windows lists a link
DWORD g_breakWith = 0;  // once set, the listing breaks off after its first entry with this error

void MarkLink(WIN32_FIND_DATAW* data) {
    if (_wcsicmp(data->cFileName, g_link.c_str()) == 0) {
        data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
}

HANDLE WINAPI FindFirstMarking(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                               FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    const HANDLE find = g_first->Original<decltype(&FindFirstFileExW)>()(pattern, level, data,
                                                                         search, filter, flags);
    if (find != INVALID_HANDLE_VALUE) {
        MarkLink(static_cast<WIN32_FIND_DATAW*>(data));
    }
    return find;
}

BOOL WINAPI FindNextMarking(HANDLE find, LPWIN32_FIND_DATAW data) {
    if (g_breakWith != 0) {
        SetLastError(g_breakWith);
        return FALSE;
    }
    const BOOL found = g_next->Original<decltype(&FindNextFileW)>()(find, data);
    if (found) {
        MarkLink(data);
    }
    return found;
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
    ImportHook first{"kernel32.dll", "FindFirstFileExW", reinterpret_cast<void*>(FindFirstMarking)};
    ImportHook next{"kernel32.dll", "FindNextFileW", reinterpret_cast<void*>(FindNextMarking)};
    void SetUp() override {
        InTree::SetUp();
        g_first = &first;
        g_next = &next;
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
        const DirectoryEntries entries = dir.ReadAndClose(AnyFile);
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
        dir.ReadAndClose(AnyFile);
        ADD_FAILURE() << "a listing cut short passed for a whole one";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ERROR_NETNAME_DELETED);
    }
}

}  // namespace
