// The error family of handover and its utility library. An error's what() is one line,
// "<Type> at <file>[<line>]" with " with msg: <message>" when a message is given, ended by LF;
// every rethrow through an error boundary appends "--> rethrown at <file>[<line>]" and LF.
#pragma once

#include <exception>
#include <string>

namespace Kvo {

class Exception : public std::exception {
  public:
    // message may be null (no message); an empty message still writes " with msg: ".
    Exception(const char* typeName, const char* message, const char* file, int line);
    ~Exception() override = default;

    const char* what() const noexcept override { return message_.c_str(); }

    // Appends one trail line naming the place where this error is passed on.
    void AddRethrowTrail(const char* file, int line);

  private:
    std::string message_;
};

class CryptoKeyError : public Exception {
  public:
    CryptoKeyError(const char* message, const char* file, int line)
        : Exception("CryptoKeyError", message, file, line) {}
};

class UnknownError : public Exception {
  public:
    UnknownError(const char* message, const char* file, int line)
        : Exception("UnknownError", message, file, line) {}
};

// Runs body() and converts whatever it raises, reporting file and line as the boundary's site:
// a Kvo::Exception (or derived) gets a rethrow trail and leaves as a plain Kvo::Exception;
// a std::exception leaves as UnknownError "caught std::exception: <what>"; anything else
// leaves as UnknownError "Elipsis Catch". Returns what body() returns.
template <typename Body>
auto RunInErrorBoundary(const char* file, int line, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (Exception& e) {
        e.AddRethrowTrail(file, line);
        throw Exception(e);
    } catch (std::exception& e) {
        throw UnknownError((std::string("caught std::exception: ") + e.what()).c_str(), file, line);
    } catch (...) {
        throw UnknownError("Elipsis Catch", file, line);
    }
}

}  // namespace Kvo

// Guards a utility operation's body with the error boundary, sited at this line.
#define KVO_ERROR_BOUNDARY(body) ::Kvo::RunInErrorBoundary(__FILE__, __LINE__, body)
