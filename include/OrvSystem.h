// Start and stop of the engine's shared state.
//
// start() creates the shared memory sets (lock list, buffer pool, log file
// handling), recovers the database from the log when the engine did not
// end cleanly, and then creates or checks the catalog; stop() removes the
// sets again. Both act
// on the database named by ORV_DATABASE_PATH (default: the working directory).
// Neither is safe to run twice at once on one database: the exclusive
// creation of the sets makes a second start fail, not wait.
#ifndef ORV_SYSTEM_H
#define ORV_SYSTEM_H

#include "OrvTypes.h"

class OrvSystem {
public:
    // What the recovery step of the last start in this process did.
    struct RecoveryReport {
        bool ran = false; // the engine had not ended cleanly
        Uint64 entriesRedone = 0;
        Uint64 entriesUndone = 0;
        Uint64 transactionsUndone = 0;
    };
    // A pass of recovery over at least this many log entries shows its
    // progress on standard output, a line at every tenth.
    static constexpr Uint64 RECOVERY_PROGRESS_MINIMUM = 10000;

    // Refuses a database directory that is missing, no directory, or not
    // readable, writable and searchable for its owner
    // (ORV_MM_DATABASE_PATH_INVALID), and a user who does not own it
    // (ORV_MM_NOT_DIRECTORY_OWNER). Throws OrvException at the first failing
    // step, after removing the sets that the steps before it made, so that
    // the next start finds none.
    //
    // The run state of the database (the file "orv.state" in its directory)
    // tells whether the engine ended cleanly. After the log file handling
    // step, a start that finds it did not (or finds no state but a log)
    // runs record and index recovery: redo, then undo of every transaction
    // that never ended, and writes the pages it changed. The state is
    // "running" from then on, until a clean stop. ORV_SYSTEM_STATE_FILE_FAIL
    // when the state cannot be read or written; recovery's errors pass on
    // (the state stays "running", so the next start recovers again).
    static void start();
    // The start's recovery step (the fourth), on its own so that steps can
    // follow it. REQUIRES: the three sets exist and nothing else runs.
    static void recoverIfNeeded();
    static const RecoveryReport& lastRecovery();
    // Called before each step of start (1: lock list, 2: buffer pool, 3: log
    // file handling, 4: recovery, 5: catalog) when set; a throw there fails that step. Lets tests
    // make a start fail at a chosen step. Null in every program.
    static void (*startStepHook)(int step);
    // Without force, refuses with ORV_SYSTEM_STOP_IN_USE while a lock is held
    // or a page is fixed, and destroys nothing then. Throws OrvException.
    // A stop that wrote the pool with no lock held and no page fixed syncs
    // the segment files and records a clean end (ORV_FM_FILE_SYNC_FAIL,
    // ORV_SYSTEM_STATE_FILE_FAIL when it cannot); a forced stop over held
    // locks or fixes does not, so the next start recovers.
    static void stop(bool force);
    // Deletes this process's manager singletons; touches no shared memory.
    static void stopAllManagers();
};

#endif
