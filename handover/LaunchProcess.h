// Starting the client as a process of its own, on whatever platform handover is built for.
#pragma once

#include <string>

// The capacity of the launch buffer, terminating NUL included: a command line fits with 259
// characters at most (Windows' MAX_PATH).
inline constexpr int CMD_LINE_CAPACITY = 260;

// Whether commandLine (UTF-8) fits the launch buffer of CMD_LINE_CAPACITY characters with its
// terminating NUL, counted as the platform counts them: bytes on POSIX, UTF-16 code units on
// Windows.
bool FitsLaunchBuffer(const std::string& commandLine);

// Starts the program that the first blank-delimited token of commandLine names (resolved against
// the working directory) with the rest as its arguments, the caller's environment and working
// directory, no inherited files beyond standard input, output and error, and the platform's
// default error handling. Returns at once; true when the process was created. The new process
// outlives the caller. commandLine must fit the launch buffer.
bool LaunchProcess(const std::string& commandLine);
