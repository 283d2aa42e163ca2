// The client's command line: built by joining, split again where the platform starts programs
// from an argument list. No quoting is added and none is interpreted.
#pragma once

#include <string>
#include <vector>

// program, then " " and each of args[0..count) unchanged; count <= 0 adds nothing.
std::string BuildCommandLine(const std::string& program, int count, char** args);

// The tokens between runs of blanks (' ' and '\t'), as Windows splits an unquoted command line;
// empty tokens vanish.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
