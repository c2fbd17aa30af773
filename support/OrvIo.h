// OrvIo: the one place where the engine makes its file system calls.
//
// The segment file manager and the log manager call these thin
// wrappers instead of the system calls, so that tests can make any of them
// fail: "fail the 3rd pwrite with ENOSPC", "let the next pwrite write only 100
// bytes". The *All helpers add the loops that every caller needs anyway
// (retry after EINTR, continue after a short count).
//
// Fault injection: armFault() registers a planned fault for one kind of call.
// Calls are counted per kind from the moment a fault is first armed; a
// fault hits the nth matching call after its arming. While nothing is armed each
// wrapper costs one test of a global flag on top of the system call.
//
// Process safety: the fault table is per process and not guarded; engine
// processes are single-threaded. A forked child inherits the armed faults.
#ifndef ORV_IO_H
#define ORV_IO_H

#include "OrvTypes.h"

#include <cerrno>
#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

namespace OrvIo {

enum class Call : int {
    Open = 0,
    Close,
    Pread,
    Pwrite,
    Fstat,
    Stat,
    Ftruncate,
    Unlink,
    Append,
    Lseek,
    // fsync and fdatasync: one kind, since a test means "the nth time the
    // data is forced to the device" whichever of the two asks for it.
    Sync,
    Count // number of kinds, not a call
};

// One planned fault.
struct Fault {
    Call call = Call::Pwrite;
    // The nth matching call counted from arming (1 = the next one).
    Uint32 nth = 1;
    // errno of the failure. Ignored for a short transfer.
    int error = EIO;
    // For Pread, Pwrite and Append: when not negative, the call transfers only
    // this many bytes (at most what was asked) and returns that count instead
    // of failing, as the kernel may at a file size limit or on a signal.
    Sint64 shortBytes = -1;
    // Also hit every later matching call, until clearFaults(). (A sticky
    // EINTR would make the *All loops below retry for ever.)
    bool sticky = false;
    // For Pwrite and Append with shortBytes set: right after the transfer
    // the process kills itself with SIGKILL, leaving the file as a crash in
    // the middle of the write would (a shortBytes at least the length asked
    // for writes everything and then dies, before the caller sees the
    // result). Nothing after the transfer runs: no destructor, no release.
    bool killAfterTransfer = false;
};

// Plans a fault; up to 16 can be armed at once. Returns false when the table
// is full.
bool armFault(const Fault& fault);
// Removes every planned fault and resets the call counters.
void clearFaults();
// Calls of this kind made since the first armFault() after clearFaults()
// (nothing is counted before). To count the writes of an operation and then
// fail each one in turn, a test first arms a fault with a large nth.
Uint32 callCount(Call call);

// ---- The wrappers. ----
//
// Each takes the arguments of the system call of the same name and returns
// its result on success, or the negated errno value on failure (-ENOSPC, ...).
// The error travels in the result and not in errno, because the trace scope
// of the wrapper and of its callers may write to a file on the way out and so
// change errno before the caller could read it.

// An injected failure of open creates nothing.
int open(const char* path, int flags, mode_t mode = 0);
// The descriptor is released even when close reports a failure (real or
// injected), as Linux does; never retry a close.
int close(int fd);
ssize_t pread(int fd, void* buffer, std::size_t length, off_t offset);
ssize_t pwrite(int fd, const void* buffer, std::size_t length, off_t offset);
int fstat(int fd, struct stat* status);
int stat(const char* path, struct stat* status);
int ftruncate(int fd, off_t length);
int unlink(const char* path);
// write(2) on a descriptor opened with O_APPEND: one append of the log.
ssize_t append(int fd, const void* buffer, std::size_t length);
off_t lseek(int fd, off_t offset, int whence);
int fsync(int fd);
int fdatasync(int fd);
// Syncs a directory, so that a file created or renamed in it stays after a
// power loss. Opens, fsyncs (counted as Sync) and closes it.
int syncDirectory(const char* path);

// ---- Loops over the wrappers, retrying after EINTR and short counts. ----

// Reads length bytes at offset. Returns length, or fewer at the end of the
// file, or the negated errno.
ssize_t preadAll(int fd, void* buffer, std::size_t length, off_t offset);
// Writes length bytes at offset. Returns length or the negated errno; some
// bytes may have reached the file before a failure.
ssize_t pwriteAll(int fd, const void* buffer, std::size_t length, off_t offset);
// Appends length bytes. Returns length or the negated errno; a prefix of the
// bytes may have been appended before a failure.
ssize_t appendAll(int fd, const void* buffer, std::size_t length);

} // namespace OrvIo

#endif
