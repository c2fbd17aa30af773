// Whether an engine process still exists.
//
// A process id alone does not name a process for long: once a process has
// ended, the kernel hands its id to the next process it makes. An engine
// process is therefore named by its id together with its start time (the
// 22nd field of /proc/<pid>/stat, in clock ticks since the machine booted),
// which a later process with the same id cannot share. A process that has
// ended but was not yet waited for by its parent (a zombie) counts as gone:
// it will never release anything again.
//
// Process safety: plain values; the functions read /proc and hold nothing.
#ifndef ORV_PROCESS_IDENTITY_H
#define ORV_PROCESS_IDENTITY_H

#include "OrvTypes.h"

#include <sys/types.h>

struct OrvProcessIdentity {
    pid_t pid = 0;
    Uint64 startTime = 0;

    // The calling process (read once per process and kept).
    static OrvProcessIdentity self();

    enum class State {
        Running, // the process with this id and start time exists
        Gone,    // no process has this id, or it is a zombie, or another
                 // process has taken over the id (its start time differs)
        Unknown  // /proc could not be read for another reason
    };
    // What became of the process. A start time of 0 compares only the id
    // (for a process that never recorded its start time).
    State state() const;
    bool isGone() const { return state() == State::Gone; }
};

// Reads field 22 of /proc/<pid>/stat and whether the process is a zombie.
// False when the file cannot be read or parsed (errno from the open, or
// EINVAL for a line that does not parse).
bool orvReadProcessStart(pid_t pid, Uint64& startTime, bool& zombie);

#endif
