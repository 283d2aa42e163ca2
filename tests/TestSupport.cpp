#include "tests/TestSupport.h"

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

RunResult RunProgram(const std::vector<std::string>& command, const fs::path& dir) {
    return ChildProcess(command, dir).Wait();
}

bool WaitFor(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex.push_back(kDigits[static_cast<std::uint8_t>(c) >> 4]);
        hex.push_back(kDigits[static_cast<std::uint8_t>(c) & 0xf]);
    }
    return hex;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}
