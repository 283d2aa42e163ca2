#include "util/Exception.h"

#include <stdexcept>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

namespace {

// Runs body behind an error boundary and stores the boundary's line in line.
#define GUARDED(line, body) ((line) = __LINE__, KVO_ERROR_BOUNDARY(body))

std::string At(int line) {
    return std::string(__FILE__) + "[" + std::to_string(line) + "]";
}

struct MessageCase {
    const char* message;
    const char* expected;
};

TEST(Exception, WhatIsOneLineWithTheOptionalMessage) {
    const MessageCase cases[] = {
        {nullptr, "Type at dir/file.cpp[42]\n"},
        {"", "Type at dir/file.cpp[42] with msg: \n"},
        {"went wrong", "Type at dir/file.cpp[42] with msg: went wrong\n"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_STREQ(Kvo::Exception("Type", c.message, "dir/file.cpp", 42).what(), c.expected);
    }
}

TEST(Exception, DerivedErrorsNameTheirType) {
    const Kvo::CryptoKeyError keyError(nullptr, "a.cpp", 1);
    const Kvo::UnknownError unknownError("m", "b.cpp", 2);
    EXPECT_STREQ(keyError.what(), "CryptoKeyError at a.cpp[1]\n");
    EXPECT_STREQ(unknownError.what(), "UnknownError at b.cpp[2] with msg: m\n");
}

TEST(Exception, EachTrailLineIsAppendedInOrder) {
    Kvo::Exception e("Type", nullptr, "a.cpp", 1);
    e.AddRethrowTrail("b.cpp", 2);
    e.AddRethrowTrail("c.cpp", 3);
    EXPECT_STREQ(e.what(),
                 "Type at a.cpp[1]\n--> rethrown at b.cpp[2]\n--> rethrown at c.cpp[3]\n");
}

TEST(ErrorBoundary, ReturnsWhatTheBodyReturns) {
    EXPECT_EQ(KVO_ERROR_BOUNDARY([] { return 7; }), 7);
}

TEST(ErrorBoundary, KvoErrorGainsATrailLineAndLeavesAsTheBaseType) {
    int boundaryAt = 0;
    const auto body = [] { throw Kvo::CryptoKeyError("bad key", "util/Crypto.cpp", 7); };
    try {
        GUARDED(boundaryAt, body);
        FAIL() << "nothing was thrown";
    } catch (const Kvo::CryptoKeyError&) {
        FAIL() << "left as the derived type";
    } catch (const Kvo::Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Kvo::Exception));
        EXPECT_EQ(std::string(e.what()),
                  "CryptoKeyError at util/Crypto.cpp[7] with msg: bad key\n--> rethrown at " +
                      At(boundaryAt) + "\n");
    }
}

TEST(ErrorBoundary, NestedBoundariesAddTrailLinesInnerFirst) {
    int innerAt = 0;
    int outerAt = 0;
    const auto body = [] { throw Kvo::CryptoKeyError(nullptr, "util/Crypto.cpp", 7); };
    const auto inner = [&] { GUARDED(innerAt, body); };
    try {
        GUARDED(outerAt, inner);
        FAIL() << "nothing was thrown";
    } catch (const Kvo::Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Kvo::Exception));
        EXPECT_EQ(std::string(e.what()), "CryptoKeyError at util/Crypto.cpp[7]\n--> rethrown at " +
                                             At(innerAt) + "\n--> rethrown at " + At(outerAt) +
                                             "\n");
    }
}

TEST(ErrorBoundary, StandardExceptionLeavesAsUnknownErrorWithItsText) {
    int boundaryAt = 0;
    try {
        GUARDED(boundaryAt, [] { throw std::runtime_error("x"); });
        FAIL() << "nothing was thrown";
    } catch (const Kvo::Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Kvo::UnknownError));
        EXPECT_EQ(std::string(e.what()),
                  "UnknownError at " + At(boundaryAt) + " with msg: caught std::exception: x\n");
    }
}

TEST(ErrorBoundary, AnythingElseLeavesAsUnknownError) {
    int boundaryAt = 0;
    try {
        GUARDED(boundaryAt, [] { throw 42; });
        FAIL() << "nothing was thrown";
    } catch (const Kvo::Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Kvo::UnknownError));
        EXPECT_EQ(std::string(e.what()),
                  "UnknownError at " + At(boundaryAt) + " with msg: Elipsis Catch\n");
    }
}

}  // namespace
