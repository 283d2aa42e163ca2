// OpenSSL 3 deprecates the DES interface; it is the cipher the failure report was always
// written with, so this file alone opts out of the deprecation warning.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "util/Crypto.h"

#include <openssl/des.h>

#include <cstring>
#include <limits>
#include <stdexcept>

#include "util/Exception.h"

namespace Kvo {
namespace {

constexpr std::size_t kBlock = 8;
constexpr std::size_t kKeyLength = 3 * kBlock;

struct Schedules {
    DES_key_schedule k1, k2, k3;
};

// DES_check_key stays 0, so DES_set_key accepts any key bytes as DES_set_key_unchecked would.
void MakeSchedules(const std::string& key, Schedules& s) {
    if (key.size() < kKeyLength) {
        throw CryptoKeyError(nullptr, __FILE__, __LINE__);
    }
    DES_cblock part;
    std::memcpy(part, key.data(), kBlock);
    DES_set_key(&part, &s.k1);
    std::memcpy(part, key.data() + kBlock, kBlock);
    DES_set_key(&part, &s.k2);
    std::memcpy(part, key.data() + 2 * kBlock, kBlock);
    DES_set_key(&part, &s.k3);
}

// Runs every block of input (the last one zero-padded) through the cipher in direction enc.
std::unique_ptr<ByteArray> CryptBlocks(const ByteArray& input, Schedules& s, int enc) {
    const std::size_t n = input.Size();
    const std::size_t rest = n % kBlock;
    const std::size_t padded = rest == 0 ? n : n + kBlock - rest;
    if (padded > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("padded input does not fit a Kvo::ByteArray");
    }
    std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[padded]);
    for (std::size_t offset = 0; offset < padded; offset += kBlock) {
        DES_cblock in = {0, 0, 0, 0, 0, 0, 0, 0};
        std::memcpy(in, input.Data() + offset, offset + kBlock <= n ? kBlock : rest);
        DES_cblock block;
        DES_ecb3_encrypt(&in, &block, &s.k1, &s.k2, &s.k3, enc);
        std::memcpy(out.get() + offset, block, kBlock);
    }
    return std::unique_ptr<ByteArray>(
        new ByteArray(std::move(out), static_cast<std::uint32_t>(padded)));
}

}  // namespace

std::unique_ptr<ByteArray> EncryptTripleDes(const ByteArray& input, const std::string& key) {
    return KVO_ERROR_BOUNDARY([&] {
        Schedules s;
        MakeSchedules(key, s);
        return CryptBlocks(input, s, DES_ENCRYPT);
    });
}

std::unique_ptr<ByteArray> DecryptTripleDes(const ByteArray& input, const std::string& key) {
    return KVO_ERROR_BOUNDARY([&] {
        if (input.Size() % kBlock != 0) {
            throw Exception("CipherLengthError", "cipher text is not a whole number of blocks",
                            __FILE__, __LINE__);
        }
        Schedules s;
        MakeSchedules(key, s);
        return CryptBlocks(input, s, DES_DECRYPT);
    });
}

}  // namespace Kvo
