#include "tests/ImportHook_Win32.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>

#include <boost/filesystem/path.hpp>

namespace {

// The import address table's slot that the loader filled with module!function.
void** FindSlot(const std::string& module, const std::string& function) {
    auto* const base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), module.c_str()) != 0) {
            continue;
        }
        // The names stay in the lookup table; the address table beside it holds the addresses.
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base +
            (entry->OriginalFirstThunk != 0 ? entry->OriginalFirstThunk : entry->FirstThunk));
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function.c_str()) == 0) {
                return reinterpret_cast<void**>(&addresses->u1.Function);
            }
        }
    }
    throw std::runtime_error("the program does not import " + module + "!" + function);
}

void Store(void** slot, void* value) {
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
        throw std::runtime_error("cannot write the import table");
    }
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
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
