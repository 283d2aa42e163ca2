// Kvo::ByteArray: an owning byte buffer with its size. Made by copying n bytes, or by adopting
// an array of n bytes; either way capacity and size are n (n may be 0). Not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Kvo {

struct ByteArrayBuffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::uint32_t capacity;
    std::uint32_t size;
};

class ByteArray {
  public:
    // Copies n bytes from bytes. Raises std::length_error when n does not fit 32 bits.
    ByteArray(const void* bytes, std::size_t n);
    // Adopts data, which holds n bytes.
    ByteArray(std::unique_ptr<std::uint8_t[]> data, std::uint32_t n);
    virtual ~ByteArray() = default;

    ByteArray(const ByteArray&) = delete;
    ByteArray& operator=(const ByteArray&) = delete;

    const std::uint8_t* Data() const { return buffer_->data.get(); }
    std::uint32_t Size() const { return buffer_->size; }
    std::uint32_t Capacity() const { return buffer_->capacity; }

  private:
    std::unique_ptr<ByteArrayBuffer> buffer_;
};

}  // namespace Kvo
