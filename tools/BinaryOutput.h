// Standard output and error carry exactly the bytes written to them: no line-end translation
// (Windows' C runtime would turn each LF into CR LF, and so change a decrypted report).
#pragma once

void UseBinaryOutput();
