// One run of handover at a time in an installation directory: two runs that walk the same tree
// at once would each remove a target that the other has just installed.
#pragma once

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>

// The lock is the process's own: it is released when the object goes or the process ends,
// however it ends, no process that handover starts inherits it, and it leaves nothing behind
// in the directory.
class RunLock {
  public:
    enum class Status {
        kLocked,       // this run holds the directory
        kBusy,         // another run holds it
        kUnavailable,  // the directory cannot be locked here; see Reason()
    };

    // Tries once, without waiting, to lock the directory dir.
    explicit RunLock(const boost::filesystem::path& dir);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    Status GetStatus() const { return status_; }
    // What kept the directory from being locked (kUnavailable only), as the system words it.
    const std::string& Reason() const { return reason_; }

  private:
    struct Handle;
    std::unique_ptr<Handle> handle_;
    Status status_;
    std::string reason_;
};
