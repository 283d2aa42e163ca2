#include "tests/ImportHook_Win32.h"

#include <windows.h>

#include <stdexcept>

#include <boost/filesystem/path.hpp>

#include "tests/ImportTable_Win32.h"

namespace {

// The import address table's slot that the loader filled with module!function.
void** FindSlot(const std::string& module, const std::string& function) {
    void** found = nullptr;
    ForEachImport(GetModuleHandleW(nullptr), [&](const char* dll, const char* name, void** slot) {
        if (found == nullptr && _stricmp(dll, module.c_str()) == 0 && function == name) {
            found = slot;
        }
    });
    if (found == nullptr) {
        throw std::runtime_error("the program does not import " + module + "!" + function);
    }
    return found;
}

void Store(void** slot, void* value) {
    if (!StoreImport(slot, value)) {
        throw std::runtime_error("cannot write the import table");
    }
}

}  // namespace

ImportHook::ImportHook(const std::string& module, const std::string& function, void* replacement)
    : slot_(FindSlot(module, function)), original_(*slot_) {
    Store(slot_, replacement);
}

ImportHook::~ImportHook() {
    Store(slot_, original_);
}

std::wstring PathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= path.size()) {
        path.resize(length);
        length = GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
    }
    if (length == 0 || length >= path.size()) {
        return std::wstring();
    }
    path.resize(length);
    return path;
}

std::string FileNameOf(HANDLE handle) {
    return boost::filesystem::path(PathOf(handle)).filename().string();
}

std::wstring NameOf(const OBJECT_ATTRIBUTES* attributes) {
    const UNICODE_STRING* name = attributes->ObjectName;
    const std::wstring text(name->Buffer, name->Length / sizeof(wchar_t));
    return boost::filesystem::path(text).filename().native();
}

std::wstring PathOf(const OBJECT_ATTRIBUTES* attributes) {
    const UNICODE_STRING* name = attributes->ObjectName;
    const std::wstring text(name->Buffer, name->Length / sizeof(wchar_t));
    return attributes->RootDirectory == nullptr ? text
                                                : PathOf(attributes->RootDirectory) + L"\\" + text;
}
