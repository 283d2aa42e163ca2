#include "util/Exception.h"

#include <ostream>
#include <sstream>

namespace Kvo {

Exception::Exception(const char* typeName, const char* message, const char* file, int line) {
    std::ostringstream text;
    text << typeName << " at " << file << "[" << line << "]";
    if (message != nullptr) {
        text << " with msg: " << message;
    }
    text << std::endl;
    message_ = text.str();
}

void Exception::AddRethrowTrail(const char* file, int line) {
    std::ostringstream trail;
    trail << "--> rethrown at " << file << "[" << line << "]" << std::endl;
    message_ += trail.str();
}

}  // namespace Kvo
