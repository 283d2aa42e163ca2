// The cipher against the openssl command line program, which the POSIX build machine has.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"
#include "util/CryptoSamples.h"

namespace fs = std::filesystem;

namespace {

using crypto_samples::Encrypt;
using crypto_samples::kKey;
using crypto_samples::Sample;

bool OnPath(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return access(program.c_str(), X_OK) == 0;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((fs::path(dir) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// The same cipher as computed by the openssl command line program, on the zero-padded input.
TEST(TripleDes, AgreesWithTheOpensslCommand) {
    if (!OnPath(OPENSSL_BIN)) {
        GTEST_SKIP() << "the openssl program (" << OPENSSL_BIN << ") is not installed";
    }
    ScratchDir dir("crypto-test");
    const fs::path in = dir.Path() / "in";
    const fs::path out = dir.Path() / "out";
    const std::string keys[] = {kKey, Sample(24)};
    for (const std::string& key : keys) {
        for (const std::size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 333u}) {
            SCOPED_TRACE("key " + ToHex(key) + ", " + std::to_string(n) + " bytes");
            const std::string plain = Sample(n);
            const std::string padded = plain + std::string((8 - n % 8) % 8, '\0');
            std::ofstream(in, std::ios_base::binary | std::ios_base::trunc) << padded;
            const std::string command = std::string(OPENSSL_BIN) + " enc -des-ede3 -nopad -K " +
                                        ToHex(key) + " -in '" + in.string() + "' -out '" +
                                        out.string() + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            std::ifstream result(out, std::ios_base::binary);
            const std::string expected((std::istreambuf_iterator<char>(result)),
                                       std::istreambuf_iterator<char>());
            EXPECT_EQ(ToHex(Encrypt(plain, key)), ToHex(expected));
        }
    }
}

}  // namespace
