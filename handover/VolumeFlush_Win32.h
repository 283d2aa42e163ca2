// Staged files made durable together on Windows 8 and later: the data of each is written out on
// its own, without a flush of the device's cache, then one full flush of a file on each volume
// flushes the device's cache, and the file system's journal, once for all of them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "handover/Directory.h"

class VolumeFlush {
  public:
    // A flush of the file behind a handle: true when it is done, otherwise false with the
    // Windows error in err.
    using FlushCall = bool (*)(HANDLE file, DWORD& err);

    // dataOnly writes a file's data out without a device flush; null where Windows has no such
    // call (Windows 7, Wine), and then no file is taken in. full flushes a file and the device.
    VolumeFlush(FlushCall dataOnly, FlushCall full);
    // Closes the handles it still holds.
    ~VolumeFlush();
    VolumeFlush(const VolumeFlush&) = delete;
    VolumeFlush& operator=(const VolumeFlush&) = delete;

    // Takes file, a handle with write access to path that it owns from now on, and writes its
    // data out. False when the file is not taken in: it must then be flushed on its own.
    bool Add(const boost::filesystem::path& path, HANDLE file, std::uint64_t volume,
             const FileId& id);
    // One full flush per volume that holds a file taken in, closing each handle once flushed.
    // Raises filesystem_error, naming the file whose flush failed, when the data may not be on
    // the disk.
    void Flush();
    // Whether Flush has brought the file with this identity onto the disk.
    bool Covers(const FileId& id) const;
    // How many files were taken in.
    std::size_t Size() const { return files_.size(); }

  private:
    FlushCall dataOnly_;
    FlushCall full_;
    // One handle on each volume, kept open until its full flush, and the path it was opened by.
    std::map<std::uint64_t, std::pair<HANDLE, boost::filesystem::path>> volumes_;
    std::set<FileId> files_;
    bool flushed_ = false;
};
