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

namespace fs = std::filesystem;

namespace {

std::string Encrypt(const std::string& plain, const std::string& key) {
    const auto cipher = Kvo::EncryptTripleDes(Kvo::ByteArray(plain.data(), plain.size()), key);
    return std::string(reinterpret_cast<const char*>(cipher->Data()), cipher->Size());
}

// Bytes that differ from block to block and cover every byte value.
std::string Sample(std::size_t n) {
    std::string bytes;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    return bytes;
}

const std::string kKey = FromHex(
    "0123456789ABCDEF"
    "23456789ABCDEF01"
    "456789ABCDEF0123");

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
