// Building the client's command line and splitting it again, on arbitrary argument vectors:
// the client gets exactly the blank-free pieces of the arguments, in order.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <vector>
#include "fuzz/Check.h"
#include "handover/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // NUL bytes separate the arguments, as in a real argument vector.
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }

    const std::string commandLine =
        BuildCommandLine("./client.exe", static_cast<int>(argv.size()), argv.data());
    std::vector<std::string> expected = {"./client.exe"};
    for (const std::string& arg : args) {
        for (const std::string& piece : SplitCommandLine(arg)) {
            expected.push_back(piece);
        }
    }
    const std::vector<std::string> tokens = SplitCommandLine(commandLine);
    Check(tokens == expected);
    for (const std::string& token : tokens) {
        Check(!token.empty() && token.find_first_of(" \t") == std::string::npos);
    }
    return 0;
}
