// The errors that the steps of a run raise when they fail. Each names itself in what().
#pragma once

#include "util/Exception.h"

// The client executable cannot be started.
class RunClientError : public Kvo::Exception {
  public:
    RunClientError(const char* message, const char* file, int line)
        : Kvo::Exception("RunClientError", message, file, line) {}
};

// The client never removed its session file.
class SessionFileError : public Kvo::Exception {
  public:
    SessionFileError(const char* message, const char* file, int line)
        : Kvo::Exception("SessionFileError", message, file, line) {}
};

// A staged file cannot be put in place: its target stays, or the rename onto it fails.
class RemoveDestinationFileError : public Kvo::Exception {
  public:
    RemoveDestinationFileError(const char* message, const char* file, int line)
        : Kvo::Exception("RemoveDestinationFileError", message, file, line) {}
};
