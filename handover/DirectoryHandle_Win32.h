// The handle behind a Directory on Windows, for the platform layer's parts that act through it.
#pragma once

#include "handover/Directory.h"
#include "handover/FileInfo_Win32.h"

// Opened to be listed and searched, and as the directory that names are opened in.
struct Directory::Handle {
    ScopedHandle dir;
};
