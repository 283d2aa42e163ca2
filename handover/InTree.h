// The fixture of the installer's in-process tests: a scratch tree as the working directory,
// and a fresh run log and failure flag for each test.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handover/Main_Win32.h"
#include "tests/TempTree.h"

class InTree : public ::testing::Test {
  protected:
    void SetUp() override {
        g_log.str("");
        g_errorFlag = false;
    }

    std::vector<std::string> Log() const { return Lines(g_log.str()); }

    TempTree tree;
    WorkingDirectory cwd{tree.Root()};
};
