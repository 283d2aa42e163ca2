// Inputs and helpers shared by the cipher's tests.
#pragma once

#include <cstdint>
#include <string>

#include "tests/TestSupport.h"
#include "util/ByteArray.h"
#include "util/Crypto.h"

namespace crypto_samples {

inline std::string AsString(const Kvo::ByteArray& bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Size());
}

inline std::string Encrypt(const std::string& plain, const std::string& key) {
    return AsString(*Kvo::EncryptTripleDes(Kvo::ByteArray(plain.data(), plain.size()), key));
}

inline std::string Decrypt(const std::string& cipher, const std::string& key) {
    return AsString(*Kvo::DecryptTripleDes(Kvo::ByteArray(cipher.data(), cipher.size()), key));
}

// Bytes that differ from block to block and cover every byte value.
inline std::string Sample(std::size_t n) {
    std::string bytes;
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    return bytes;
}

// The key of NIST's three-key known answer.
inline const std::string kKey = FromHex(
    "0123456789ABCDEF"
    "23456789ABCDEF01"
    "456789ABCDEF0123");

}  // namespace crypto_samples
