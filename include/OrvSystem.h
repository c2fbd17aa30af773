// Start and stop of the engine's shared state.
//
// start() creates the shared memory sets (lock list, buffer pool, log file
// handling) and then creates or checks the catalog; stop() removes the sets
// again. Both act
// on the database named by ORV_DATABASE_PATH (default: the working directory).
// Neither is safe to run twice at once on one database: the exclusive
// creation of the sets makes a second start fail, not wait.
#ifndef ORV_SYSTEM_H
#define ORV_SYSTEM_H

class OrvSystem {
public:
    // Refuses a database directory that is missing, no directory, or not
    // readable, writable and searchable for its owner
    // (ORV_MM_DATABASE_PATH_INVALID), and a user who does not own it
    // (ORV_MM_NOT_DIRECTORY_OWNER). Throws OrvException at the first failing
    // step, after removing the sets that the steps before it made, so that
    // the next start finds none.
    static void start();
    // Called before each step of start (1: lock list, 2: buffer pool, 3: log
    // file handling, 4: catalog) when set; a throw there fails that step. Lets tests
    // make a start fail at a chosen step. Null in every program.
    static void (*startStepHook)(int step);
    // Without force, refuses with ORV_SYSTEM_STOP_IN_USE while a lock is held
    // or a page is fixed, and destroys nothing then. Throws OrvException.
    static void stop(bool force);
    // Deletes this process's manager singletons; touches no shared memory.
    static void stopAllManagers();
};

#endif
