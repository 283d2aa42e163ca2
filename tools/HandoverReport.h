// handover-report (tools/handover_report.cpp), as the platform's entry point hands it over.
#pragma once

#include <string>
#include <vector>

// The program itself, given its arguments in UTF-8, its own name left out; returns its exit
// status.
int ReportMain(const std::vector<std::string>& args);
