#include "handover/VolumeFlush_Win32.h"

#include "handover/WindowsError.h"

namespace fs = boost::filesystem;

VolumeFlush::VolumeFlush(FlushCall dataOnly, FlushCall full) : dataOnly_(dataOnly), full_(full) {}

VolumeFlush::~VolumeFlush() {
    for (const auto& [volume, file] : volumes_) {
        CloseHandle(file.first);
    }
}

bool VolumeFlush::Add(const fs::path& path, HANDLE file, std::uint64_t volume, const FileId& id) {
    DWORD err = 0;
    if (dataOnly_ == nullptr || !dataOnly_(file, err)) {
        CloseHandle(file);
        return false;
    }
    files_.insert(id);
    if (!volumes_.emplace(volume, std::make_pair(file, path)).second) {
        CloseHandle(file);
    }
    return true;
}

void VolumeFlush::Flush() {
    // Each handle goes once its volume is flushed, not with the run: a staged file the run itself
    // held open would keep a later removal of it pending (two staged names for one target in a
    // case-sensitive folder), and a client started meanwhile could not open it without sharing.
    for (auto it = volumes_.begin(); it != volumes_.end(); it = volumes_.erase(it)) {
        DWORD err = 0;
        // Some file systems (network shares, FAT on removable drives) have nothing to flush.
        if (!full_(it->second.first, err) && err != ERROR_INVALID_FUNCTION &&
            err != ERROR_NOT_SUPPORTED) {
            ThrowWindowsError("flush", it->second.second, err);
        }
        CloseHandle(it->second.first);
    }
    flushed_ = true;
}

bool VolumeFlush::Covers(const FileId& id) const {
    return flushed_ && files_.count(id) > 0;
}
