#include "handover/Utf8Paths.h"

// POSIX names are bytes, passed through unchanged.
void UseUtf8Paths() {}
