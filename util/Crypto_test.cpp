#include "util/Crypto.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"
#include "util/ByteArray.h"
#include "util/CryptoSamples.h"
#include "util/Exception.h"

namespace fs = std::filesystem;

namespace {

using crypto_samples::Decrypt;
using crypto_samples::Encrypt;
using crypto_samples::kKey;
using crypto_samples::Sample;

// The three-key triple DES known answer published by NIST for ECB mode.
TEST(TripleDes, KnownAnswer) {
    const std::string plain = "The qufck brown fox jump";
    const std::string cipher = FromHex("A826FD8CE53B855FCCE21C8112256FE668D5C05DD9B6B900");
    EXPECT_EQ(ToHex(Encrypt(plain, kKey)), ToHex(cipher));
    EXPECT_EQ(Decrypt(cipher, kKey), plain);
}

TEST(TripleDes, OutputIsInputRoundedUpToWholeBlocks) {
    const std::pair<std::size_t, std::size_t> sizes[] = {{0, 0}, {1, 8}, {8, 8}, {9, 16}, {17, 24}};
    for (const auto& [in, out] : sizes) {
        EXPECT_EQ(Encrypt(Sample(in), kKey).size(), out) << in;
    }
}

TEST(TripleDes, PartialBlockIsZeroPadded) {
    const std::string plain = Sample(13);
    EXPECT_EQ(Encrypt(plain, kKey), Encrypt(plain + std::string(3, '\0'), kKey));
    EXPECT_EQ(Decrypt(Encrypt(plain, kKey), kKey), plain + std::string(3, '\0'));
}

TEST(TripleDes, EqualBlocksGiveEqualCipherBlocks) {
    const std::string blocks = Sample(16);
    const std::string cipher = Encrypt(blocks + blocks.substr(0, 8), kKey);
    EXPECT_EQ(cipher.substr(0, 8), cipher.substr(16, 8));
    EXPECT_NE(cipher.substr(0, 8), cipher.substr(8, 8));
}

TEST(TripleDes, BytesBeyondTheTwentyFourthOfTheKeyAreIgnored) {
    const std::string plain = Sample(40);
    EXPECT_EQ(Encrypt(plain, kKey + Sample(8)), Encrypt(plain, kKey));
}

TEST(TripleDes, DecryptInvertsEncrypt) {
    for (const std::size_t n : {0u, 8u, 64u, 1000u}) {
        const std::string plain = Sample(n);
        EXPECT_EQ(Decrypt(Encrypt(plain, kKey), kKey), plain) << n;
    }
}

TEST(TripleDes, ShortKeyLeavesAsKvoExceptionNamingCryptoKeyError) {
    for (const std::string& key : {kKey.substr(0, 23), std::string()}) {
        for (const bool encrypt : {true, false}) {
            SCOPED_TRACE((encrypt ? "encrypt, key of " : "decrypt, key of ") +
                         std::to_string(key.size()));
            try {
                encrypt ? Encrypt(Sample(16), key) : Decrypt(Sample(16), key);
                ADD_FAILURE() << "nothing was thrown";
            } catch (const Kvo::CryptoKeyError&) {
                ADD_FAILURE() << "left as the derived type";
            } catch (const Kvo::Exception& e) {
                const std::string what = e.what();
                EXPECT_EQ(what.rfind("CryptoKeyError at ", 0), 0u) << what;
                std::size_t trails = 0;
                for (std::size_t at = what.find("\n--> rethrown at "); at != std::string::npos;
                     at = what.find("\n--> rethrown at ", at + 1)) {
                    ++trails;
                }
                EXPECT_EQ(trails, 1u) << what;
            }
        }
    }
}

TEST(TripleDes, DecryptRefusesAPartialBlock) {
    EXPECT_THROW(Decrypt(Sample(9), kKey), Kvo::Exception);
}

}  // namespace
