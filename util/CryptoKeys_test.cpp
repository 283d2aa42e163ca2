#include "util/CryptoKeys.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"

namespace {

// Exits 0 when no id from -1 to 6 has a key, else names the first that has one and exits 1.
void ExitWithKeysUnset() {
    for (int id = -1; id <= 6; ++id) {
        if (!Kvo::CryptoKeys::GetKey(id).empty()) {
            std::fprintf(stderr, "key %d is set\n", id);
            std::exit(1);
        }
    }
    std::exit(0);
}

// The "threadsafe" style runs the statement in a newly started copy of this test program that
// runs this test alone, so it sees the keys as a process does before Instance() is called,
// whichever tests ran in this one.
TEST(CryptoKeysDeathTest, NoKeyBeforeInstance) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithKeysUnset(), testing::ExitedWithCode(0), "");
}

TEST(CryptoKeys, InstanceIsOneObject) {
    EXPECT_EQ(&Kvo::CryptoKeys::Instance(), &Kvo::CryptoKeys::Instance());
}

struct KeyPair {
    int id;
    int sameAs;
    std::size_t length;
};

TEST(CryptoKeys, IdsShareKeysInPairsOfTheirLength) {
    Kvo::CryptoKeys::Instance();
    const KeyPair pairs[] = {{0, 4, 24}, {1, 2, 16}, {3, 5, 24}};
    for (const KeyPair& pair : pairs) {
        SCOPED_TRACE("ids " + std::to_string(pair.id) + " and " + std::to_string(pair.sameAs));
        const std::string& key = Kvo::CryptoKeys::GetKey(pair.id);
        EXPECT_EQ(key.size(), pair.length);
        EXPECT_EQ(key, Kvo::CryptoKeys::GetKey(pair.sameAs));
    }
    EXPECT_NE(Kvo::CryptoKeys::GetKey(0), Kvo::CryptoKeys::GetKey(3));
    EXPECT_NE(Kvo::CryptoKeys::GetKey(0).substr(0, 16), Kvo::CryptoKeys::GetKey(1));
    EXPECT_EQ(Kvo::CryptoKeys::GetKey(6), "");
    EXPECT_EQ(Kvo::CryptoKeys::GetKey(-1), "");
}

// Every report ever written is encrypted under this key: a change makes them all unreadable.
TEST(CryptoKeys, ReportKeyIsPinned) {
    Kvo::CryptoKeys::Instance();
    EXPECT_EQ(ToHex(Kvo::CryptoKeys::GetKey(4)),
              "9be22394656bd9ecef63f00e822dee67aa2ec3c21c36f5eb");
}

// With k1 = k2 or k2 = k3 the triple cipher is single DES under the remaining part.
TEST(CryptoKeys, ReportKeyPartsDiffer) {
    Kvo::CryptoKeys::Instance();
    const std::string& key = Kvo::CryptoKeys::GetKey(4);
    ASSERT_EQ(key.size(), 24u);
    EXPECT_NE(key.substr(0, 8), key.substr(8, 8));
    EXPECT_NE(key.substr(8, 8), key.substr(16, 8));
    EXPECT_NE(key.substr(0, 8), key.substr(16, 8));
}

}  // namespace
