// A stand-in for the client: records how it was started into "client-probe.txt" in its working
// directory, so that tests can see what handover handed over. With a "version.txt" beside it,
// it also greets on standard output, as the demo's client does. With a "client-probe.linger"
// beside it holding a number of seconds, it stays that long after writing the record, as a
// client that runs on.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ClientProbe.h"

int ProbeMain(const std::vector<std::string>& args) {
    std::ostringstream record;
    for (const std::string& arg : args) {
        record << "arg=" << EscapeForRecord(arg) << "\n";
    }
    RecordProcess(record);

    // Written whole under another name first, so that a reader never sees half a record.
    {
        std::ofstream out("client-probe.txt.part", std::ios::binary);
        out << record.str();
    }
    std::remove("client-probe.txt");
    std::rename("client-probe.txt.part", "client-probe.txt");

    std::ifstream versionFile("version.txt");
    std::string version;
    if (std::getline(versionFile, version)) {
        std::cout << "client " << version << " started with arguments:";
        for (const std::string& arg : args) {
            std::cout << " [" << arg << "]";
        }
        std::cout << std::endl;
    }
    std::ifstream lingerFile("client-probe.linger");
    int seconds = 0;
    if (lingerFile >> seconds) {
        SleepSeconds(seconds);
    }
    return 0;
}

std::string EscapeForRecord(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}
