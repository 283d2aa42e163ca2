// The import table of a loaded image, as the loader filled it: each function imported by name,
// with the slot of the import address table through which every call to it goes.
#pragma once

#include <windows.h>

#include <functional>

// Calls visit(module, function, slot) for each function that image imports by name; module
// is the DLL's name as the image spells it.
void ForEachImport(
    HMODULE image,
    const std::function<void(const char* module, const char* function, void** slot)>& visit);

// Points slot at value; false when the page cannot be made writable.
bool StoreImport(void** slot, void* value);
