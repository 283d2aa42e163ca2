// Triple DES (three keys, encrypt-decrypt-encrypt) in ECB mode over Kvo::ByteArray.
// Only the first 24 bytes of key are used: k1, k2, k3 of 8 bytes each; parity is ignored.
#pragma once

#include <memory>
#include <string>

#include "util/ByteArray.h"

namespace Kvo {

// The input zero-padded to a multiple of 8 bytes, encrypted. The result's size is the input's
// rounded up to 8. A key shorter than 24 bytes fails as a Kvo::Exception naming CryptoKeyError;
// every failure leaves through the error boundary (see KVO_ERROR_BOUNDARY).
std::unique_ptr<ByteArray> EncryptTripleDes(const ByteArray& input, const std::string& key);

// The inverse of EncryptTripleDes for the support tools: the padding stays in the result.
// Raises Kvo::Exception for a short key or an input whose size is not a multiple of 8.
std::unique_ptr<ByteArray> DecryptTripleDes(const ByteArray& input, const std::string& key);

}  // namespace Kvo
