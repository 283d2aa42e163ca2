// Kvo::CryptoKeys: the program's symmetric keys under small integer ids. Constructing the
// instance (Singleton::Instance()) derives the keys from a scrambled table and registers them
// under ids 0 and 4 (24 bytes), 2 and 1 (16 bytes), 3 and 5 (24 bytes).
#pragma once

#include <string>

#include "util/Singleton.h"

namespace Kvo {

class CryptoKeys : public Singleton<CryptoKeys> {
  public:
    CryptoKeys();
    ~CryptoKeys() override = default;

    // The key under id, or EMPTY_STRING when there is none (always so before Instance()).
    // The reference stays valid until process exit.
    static const std::string& GetKey(int id);
};

}  // namespace Kvo
