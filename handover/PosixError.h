// The one way POSIX failures leave handover's own platform code: as the filesystem library's
// error, so that callers see the same type whether Boost or the platform layer failed.
#pragma once

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

[[noreturn]] inline void ThrowPosixError(const char* operation, const boost::filesystem::path& path,
                                         int err) {
    throw boost::filesystem::filesystem_error(
        operation, path, boost::system::error_code(err, boost::system::system_category()));
}

[[noreturn]] inline void ThrowPosixError(const char* operation, const boost::filesystem::path& from,
                                         const boost::filesystem::path& to, int err) {
    throw boost::filesystem::filesystem_error(
        operation, from, to, boost::system::error_code(err, boost::system::system_category()));
}
