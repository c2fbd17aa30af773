// Start and stop of the engine's shared state.
//
// start() creates the shared memory sets (lock list, buffer pool, log file
// handling); stop() removes them again. Both act
// on the database named by ORV_DATABASE_PATH (default: the working directory).
// Neither is safe to run twice at once on one database: the exclusive
// creation of the sets makes a second start fail, not wait.
#ifndef ORV_SYSTEM_H
#define ORV_SYSTEM_H

class OrvSystem {
public:
    // Throws OrvException at the first failing step; the sets made by the
    // steps before it stay in place (remove them with stop(true)).
    static void start();
    // Without force, refuses with ORV_SYSTEM_STOP_IN_USE while a lock is held
    // or a page is fixed, and destroys nothing then. Throws OrvException.
    static void stop(bool force);
    // Deletes this process's manager singletons; touches no shared memory.
    static void stopAllManagers();
};

#endif
