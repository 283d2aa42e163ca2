#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "tools/BinaryOutput.h"

void UseBinaryOutput() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
