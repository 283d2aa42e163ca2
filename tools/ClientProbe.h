// The platform's part of the client probe (tools/client_probe.cpp): what a started process can
// tell about how it was started.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The probe itself, given its arguments (UTF-8, its own name left out); the platform's entry
// point calls it.
int ProbeMain(const std::vector<std::string>& args);

// Any byte may come in; the record keeps one value per line: "\\" for a backslash, "\xNN" for
// every byte outside printable ASCII.
std::string EscapeForRecord(const std::string& text);

// Writes "key=value" lines: the working directory ("cwd"), the process id ("pid"), and what
// else the platform shows of the start (descriptors, signals, the raw command line...).
void RecordProcess(std::ostream& record);

void SleepSeconds(int seconds);
