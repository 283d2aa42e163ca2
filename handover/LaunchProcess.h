// Starting the client as a process of its own, on whatever platform handover is built for.
#pragma once

// Starts the program that the first blank-delimited token of commandLine names (resolved against
// the working directory) with the rest as its arguments, the caller's environment and working
// directory, no inherited files beyond standard input, output and error, and the platform's
// default error handling. Returns at once; true when the process was created. The new process
// outlives the caller. commandLine is a writable NUL-terminated buffer.
bool LaunchProcess(char* commandLine);
