#include "handover/StagedNames.h"

#include <algorithm>

#include <boost/algorithm/string/predicate.hpp>

#include "common/ClientNames.h"
#include "handover/FileSystem.h"

namespace fs = boost::filesystem;

bool IsSelfCopyName(const std::string& name) {
    return boost::algorithm::iequals(name, TMP_SELF_NAME);
}

bool IsStagedName(const std::string& name) {
    return boost::algorithm::iequals(name.substr(0, TMP_PREFIX.size()), TMP_PREFIX);
}

bool NamesNoTarget(const std::string& name) {
    const std::string rest = name.substr(std::min(name.size(), TMP_PREFIX.size()));
    return rest.empty() || rest == "." || rest == ".." || NamesADevice(rest);
}

fs::path TargetName(const fs::path& staged) {
    return fs::path(staged.string().substr(TMP_PREFIX.size()));
}

fs::path StagedDestination(const fs::path& source) {
    return source.parent_path() / TargetName(source.filename());
}
