// Narrow path text on Windows: UTF-8 for every name the file system can hold.
#include <windows.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem/path.hpp>

#include "handover/Utf16_Win32.h"
#include "handover/Utf8Paths.h"

namespace fs = boost::filesystem;

namespace {

struct Name {
    std::wstring wide;
    std::string utf8;
};

const Name kNames[] = {
    {L"_tmp_a.dll", "_tmp_a.dll"},
    {L"\u00dcn\u00efcode",
     "\xc3\x9cn\xc3\xaf"
     "code"},
    {L"\u6570\u636e.dat", "\xe6\x95\xb0\xe6\x8d\xae.dat"},
    {L"emoji-\xd83d\xde00", "emoji-\xf0\x9f\x98\x80"},  // a surrogate pair: four bytes
    {L"lone-\xd800", "lone-\xed\xa0\x80"},              // a lone surrogate: its three-byte form
    {L"lone-\xdc00-end", "lone-\xed\xb0\x80-end"},
};

TEST(Utf8Paths, PathsTurnIntoUtf8AndBack) {
    UseUtf8Paths();
    for (const Name& name : kNames) {
        SCOPED_TRACE(name.utf8);
        EXPECT_EQ(fs::path(name.wide).string(), name.utf8);
        EXPECT_EQ(fs::path(name.utf8).wstring(), name.wide);
        EXPECT_EQ(ToUtf8(name.wide), name.utf8);
        EXPECT_EQ(FromUtf8(name.utf8), name.wide);
    }
}

TEST(Utf8Paths, BytesThatAreNotUtf8AreRefused) {
    for (const char* bytes : {"\xff", "a\xc3", "\xc0\xaf", "\xf4\x90\x80\x80", "\x80"}) {
        EXPECT_THROW(FromUtf8(bytes), std::range_error) << bytes;
    }
}

}  // namespace
