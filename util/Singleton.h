// Kvo::Singleton<T>: one process-wide instance of T, built on first Instance() call and
// destroyed at process exit. Not safe for concurrent first use.
#pragma once

#include <memory>

namespace Kvo {

template <typename T>
class Singleton {
  public:
    virtual ~Singleton() = default;

    static T& Instance() {
        if (!slot_) {
            slot_.reset(new T());
        }
        return *slot_;
    }

  private:
    static inline std::unique_ptr<T> slot_;
};

}  // namespace Kvo
