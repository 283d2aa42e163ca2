#include "handover/CommandLine.h"

std::string BuildCommandLine(const std::string& program, int count, char** args) {
    std::string commandLine = program;
    for (int i = 0; i < count; ++i) {
        commandLine += ' ';
        commandLine += args[i];
    }
    return commandLine;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> tokens;
    std::string::size_type pos = 0;
    while (true) {
        const auto begin = commandLine.find_first_not_of(" \t", pos);
        if (begin == std::string::npos) {
            break;
        }
        const auto end = commandLine.find_first_of(" \t", begin);
        tokens.push_back(commandLine.substr(begin, end - begin));
        if (end == std::string::npos) {
            break;
        }
        pos = end;
    }
    return tokens;
}
