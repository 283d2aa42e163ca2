// The one way Windows failures leave handover's own platform code: as the filesystem library's
// error, so that callers see the same type whether Boost or the platform layer failed.
#pragma once

#include <windows.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

// err is a Windows error code (GetLastError()); the system category words it.
[[noreturn]] inline void ThrowWindowsError(const char* operation,
                                           const boost::filesystem::path& path, DWORD err) {
    throw boost::filesystem::filesystem_error(
        operation, path,
        boost::system::error_code(static_cast<int>(err), boost::system::system_category()));
}
