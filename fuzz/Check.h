// A property that must hold for every input: a failure is a crash that libFuzzer keeps.
#pragma once

#include <cstdlib>

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}
