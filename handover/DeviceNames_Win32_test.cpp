// The names that Windows reads as devices in every directory, which no staged file can replace.
#include <gtest/gtest.h>

#include "handover/FileSystem.h"

namespace {

TEST(DeviceNames, AreTheDosDevicesWithAnyExtensionAndCase) {
    struct Case {
        const char* name;
        bool device;
    } cases[] = {
        {"NUL", true},
        {"nul", true},
        {"Con", true},
        {"aux.txt", true},
        {"prn.tar.gz", true},
        {"COM1", true},
        {"lpt9.log", true},
        {"com1 ", true},
        {"nul :x", true},
        {"CONIN$", true},
        {"conout$.dat", true},
        {"COM\xc2\xb9", true},
        {"LPT\xc2\xb3", true},
        // Names that only look like them.
        {"COM0", false},
        {"LPT10", false},
        {"console", false},
        {"nully", false},
        {"xnul", false},
        {"_nul", false},
        {"COM", false},
        {"LPT\xc2\xb4", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NamesADevice(c.name), c.device) << c.name;
    }
}

}  // namespace
