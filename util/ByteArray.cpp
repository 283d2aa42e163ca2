#include "util/ByteArray.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace Kvo {

namespace {
std::uint32_t CheckedSize(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("Kvo::ByteArray holds at most 4 GiB - 1 bytes");
    }
    return static_cast<std::uint32_t>(n);
}
}  // namespace

ByteArray::ByteArray(const void* bytes, std::size_t n) {
    const std::uint32_t size = CheckedSize(n);
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[size]);
    if (size != 0) {
        std::memcpy(data.get(), bytes, size);
    }
    buffer_.reset(new ByteArrayBuffer{std::move(data), size, size});
}

ByteArray::ByteArray(std::unique_ptr<std::uint8_t[]> data, std::uint32_t n)
    : buffer_(new ByteArrayBuffer{std::move(data), n, n}) {}

}  // namespace Kvo
