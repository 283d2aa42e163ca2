// The order of the flushes that make staged files durable together on Windows 8 and later. Wine
// has no NtFlushBuffersFileEx, so the calls are stand-ins that record what they were asked.
#include "handover/VolumeFlush_Win32.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

// What the stand-ins were asked, as "data <file>" and "full <file>", in order.
std::vector<std::string> g_calls;
// The file names behind the handles given out, and the ones whose flushes fail.
std::map<HANDLE, std::string> g_names;
std::string g_failing;

bool Record(const char* kind, HANDLE file, DWORD& err) {
    g_calls.push_back(std::string(kind) + " " + g_names[file]);
    if (g_names[file] == g_failing) {
        err = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}
bool DataOnly(HANDLE file, DWORD& err) {
    return Record("data", file, err);
}
bool Full(HANDLE file, DWORD& err) {
    return Record("full", file, err);
}

class VolumeFlushTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        g_names.clear();
        g_failing.clear();
        dir_ = fs::temp_directory_path() / fs::unique_path("volume-flush-%%%%%%%%");
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A file of the scratch folder, open for writing, as StagedFlush opens a staged file.
    HANDLE Open(const std::string& name) {
        const HANDLE file = CreateFileW((dir_ / name).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        g_names[file] = name;
        return file;
    }

    fs::path dir_;
};

// The data of each file as it comes, then one full flush per volume, of the first file taken in
// there: a fixed number of device flushes, however many files.
TEST_F(VolumeFlushTest, DataOfEachFileThenOneFullFlushPerVolume) {
    VolumeFlush flush(DataOnly, Full);
    const FileId a{1, 10}, b{1, 11}, c{2, 12}, d{1, 13};
    EXPECT_TRUE(flush.Add(dir_ / "a", Open("a"), 1, a));
    EXPECT_TRUE(flush.Add(dir_ / "b", Open("b"), 1, b));
    EXPECT_TRUE(flush.Add(dir_ / "c", Open("c"), 2, c));
    EXPECT_TRUE(flush.Add(dir_ / "d", Open("d"), 1, d));
    EXPECT_EQ(g_calls, (std::vector<std::string>{"data a", "data b", "data c", "data d"}));
    EXPECT_FALSE(flush.Covers(a)) << "covered before the device was flushed";
    flush.Flush();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"data a", "data b", "data c", "data d", "full a",
                                                 "full c"}));
    for (const FileId& id : {a, b, c, d}) {
        EXPECT_TRUE(flush.Covers(id));
    }
    EXPECT_FALSE(flush.Covers(FileId{1, 99}));
}

// Once flushed, no staged file stays open: the install may remove it again (two staged names for
// one target), and the client may open it without sharing, while the run goes on.
TEST_F(VolumeFlushTest, NoFileStaysOpenOnceFlushed) {
    VolumeFlush flush(DataOnly, Full);
    EXPECT_TRUE(flush.Add(dir_ / "a", Open("a"), 1, FileId{1, 10}));
    EXPECT_TRUE(flush.Add(dir_ / "c", Open("c"), 2, FileId{2, 12}));
    flush.Flush();
    for (const char* name : {"a", "c"}) {
        const HANDLE file = CreateFileW((dir_ / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << name << " still open: error " << GetLastError();
        CloseHandle(file);
    }
}

// Without the data-only call (Windows 7, Wine) nothing is taken in: each file is then flushed on
// its own, as before.
TEST_F(VolumeFlushTest, WithoutTheDataOnlyCallNothingIsTakenIn) {
    VolumeFlush flush(nullptr, Full);
    const FileId a{1, 10};
    EXPECT_FALSE(flush.Add(dir_ / "a", Open("a"), 1, a));
    flush.Flush();
    EXPECT_EQ(g_calls, std::vector<std::string>{});
    EXPECT_FALSE(flush.Covers(a));
    EXPECT_EQ(flush.Size(), 0u);
}

// A file whose data cannot be written out is left to be flushed on its own; a volume that cannot
// be flushed fails the whole, and covers nothing.
TEST_F(VolumeFlushTest, FailuresLeaveFilesUncovered) {
    {
        VolumeFlush flush(DataOnly, Full);
        g_failing = "b";
        const FileId a{1, 10}, b{1, 11};
        EXPECT_TRUE(flush.Add(dir_ / "a", Open("a"), 1, a));
        EXPECT_FALSE(flush.Add(dir_ / "b", Open("b"), 1, b));
        flush.Flush();
        EXPECT_TRUE(flush.Covers(a));
        EXPECT_FALSE(flush.Covers(b));
    }
    {
        VolumeFlush flush(DataOnly, Full);
        g_failing = "c";
        const FileId c{1, 12};
        g_failing = "";
        EXPECT_TRUE(flush.Add(dir_ / "c", Open("c"), 1, c));
        g_failing = "c";
        try {
            flush.Flush();
            ADD_FAILURE() << "a failed flush of the volume went unreported";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.path1(), dir_ / "c");
        }
        EXPECT_FALSE(flush.Covers(c));
    }
}

}  // namespace
