// The staged files of a run brought onto the disk together, before the first target goes, and
// the new names after the renames, in as few device flushes as the platform allows.
//
// On Linux 5.8 and later (the first to report write-back errors to syncfs), a file system that
// holds two staged files or more is flushed whole, once before the installs and once after them,
// but only where a whole-file-system flush is known to reach the disk: local block file systems
// (ext2/3/4, XFS, Btrfs, F2FS, ReiserFS, NILFS2) and tmpfs, which has no disk to reach. A
// FUSE daemon never hears of syncfs, and network file systems do not promise what it does: there,
// and on any file system not known, each file and each directory is flushed on its own. On
// Windows 8 and later the data of each file is written out, then one full flush per volume; the
// names are written through with each rename. Where none of this can be done or trusted, Flush
// covers nothing, and each staged file is flushed on its own before its target goes.
#pragma once

#include <memory>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>

#include "handover/Directory.h"

class StagedFlush {
  public:
    StagedFlush();
    ~StagedFlush();
    StagedFlush(const StagedFlush&) = delete;
    StagedFlush& operator=(const StagedFlush&) = delete;

    // Starts writing dir's staged file name out, and counts it in for Flush where its file system
    // can be flushed together. A file that cannot be opened is left out: it is flushed on its own
    // later. Never raises.
    void Add(const Directory& dir, const boost::filesystem::path& name);
    // Returns once the contents of the files counted in are on the disk. Raises when they may not
    // be, naming a file on the file system whose flush failed.
    void Flush();
    // Whether Flush brought the file with this identity onto the disk.
    bool Covers(const FileId& file) const;

    // Whether the new names in dir reach the disk with FlushNames, dir's file system having been
    // flushed whole by Flush; otherwise dir is flushed on its own once its renames are done.
    bool FlushesNamesOf(const Directory& dir) const;
    // Counts dir's file system in for FlushNames; dir must be one that FlushesNamesOf.
    void AddNames(const Directory& dir);
    // One flush of each file system counted in by AddNames, through a directory of it held open
    // for the purpose. Returns the failures, one per file system whose names may not be on the
    // disk; the renames themselves have taken place.
    std::vector<boost::filesystem::filesystem_error> FlushNames();

  private:
    struct State;
    std::unique_ptr<State> state_;
};
