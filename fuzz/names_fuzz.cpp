// The staged-name tests and the destination on arbitrary file names.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/filesystem/path.hpp>

#include "fuzz/Check.h"
#include "handover/StagedNames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    // A directory listing never yields a name with a separator or a NUL, nor "." or "..".
    if (name.find_first_of(std::string("/\0", 2)) != std::string::npos || name.empty() ||
        name == "." || name == "..") {
        return 0;
    }
    std::string folded = name.substr(0, 5);
    for (char& c : folded) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const bool staged = IsStagedName(name);
    Check(staged == (folded == "_tmp_"));
    if (IsSelfCopyName(name)) {
        Check(staged && name.size() == 17);
    }
    if (staged) {
        const boost::filesystem::path destination = StagedDestination("./dir/" + name);
        const std::string remainder = name.substr(5);
        Check(destination.string() == (remainder.empty() ? "./dir" : "./dir/" + remainder));
    }
    return 0;
}
