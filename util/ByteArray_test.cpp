#include "util/ByteArray.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(ByteArray, CopiesTheBytes) {
    std::string source("abc\0def\0", 8);
    const Kvo::ByteArray bytes(source.data(), source.size());
    source[0] = 'x';
    ASSERT_EQ(bytes.Size(), 8u);
    EXPECT_EQ(bytes.Capacity(), 8u);
    EXPECT_NE(static_cast<const void*>(bytes.Data()), static_cast<const void*>(source.data()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Size()),
              std::string("abc\0def\0", 8));
}

TEST(ByteArray, EmptyFromNothing) {
    const Kvo::ByteArray bytes(nullptr, 0);
    EXPECT_EQ(bytes.Size(), 0u);
    EXPECT_EQ(bytes.Capacity(), 0u);
}

TEST(ByteArray, AdoptsAnArray) {
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[3]{1, 2, 3});
    const std::uint8_t* const raw = data.get();
    const Kvo::ByteArray bytes(std::move(data), 3);
    EXPECT_EQ(bytes.Data(), raw);
    EXPECT_EQ(bytes.Size(), 3u);
    EXPECT_EQ(bytes.Capacity(), 3u);
}

// The size check comes before any copy, so no 4 GiB source is needed.
TEST(ByteArray, RefusesMoreThanThirtyTwoBitsOfBytes) {
    const char byte = 0;
    const std::size_t tooMany = std::size_t{std::numeric_limits<std::uint32_t>::max()} + 1;
    EXPECT_THROW({ const Kvo::ByteArray bytes(&byte, tooMany); }, std::length_error);
}

}  // namespace
