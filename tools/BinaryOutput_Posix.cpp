#include "tools/BinaryOutput.h"

// POSIX streams never translate.
void UseBinaryOutput() {}
