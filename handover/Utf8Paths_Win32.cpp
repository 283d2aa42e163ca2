#include <boost/filesystem/path.hpp>

#include "handover/Utf16_Win32.h"
#include "handover/Utf8Paths.h"

void UseUtf8Paths() {
    boost::filesystem::path::imbue(Utf8Locale());
}
