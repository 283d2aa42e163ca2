#include "common/ClientNames.h"

#include <gtest/gtest.h>
#include <boost/filesystem/path.hpp>

namespace fs = boost::filesystem;

TEST(ClientNames, BaseDirJoinsWithoutExtraSeparator) {
    EXPECT_EQ((fs::path(BASE_DIR) / SESSION_FILE_NAME).string(), "./session.dat");
    EXPECT_EQ((fs::path(BASE_DIR) / "client.exe").string(), "./client.exe");
}

TEST(ClientNames, StagedNames) {
    EXPECT_EQ(TMP_PREFIX, "_tmp_");
    EXPECT_EQ(TMP_SELF_NAME.compare(0, TMP_PREFIX.size(), TMP_PREFIX), 0);
    EXPECT_EQ(STARTUP_FILE_PATH, STARTUP_FILE_PATH_2);
    EXPECT_EQ(&STARTUP_FILE_PATH == &STARTUP_FILE_PATH_2, false);
    EXPECT_TRUE(EMPTY_STRING.empty());
}
