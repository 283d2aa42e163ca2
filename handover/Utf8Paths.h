// Narrow path text is UTF-8 on every platform: on POSIX a name is bytes anyway; on Windows the
// path library converts it from and to the UTF-16 of the file system, never through the ANSI
// code page, where characters outside it turn into '?' and name another file or none.
#pragma once

// Makes the path library read and write narrow text as UTF-8. Call before the first path is
// made from narrow text or turned into it.
void UseUtf8Paths();
