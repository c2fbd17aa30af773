// The components of the system, as named in traces and errors.
#ifndef ORV_COMPONENTS_H
#define ORV_COMPONENTS_H

enum OrvComponent : int {
    CommandLine = 0,
    Compiler = 1,  // reserved: the statement compiler is not part of the engine
    Optimizer = 2, // reserved
    CatalogManager = 3,
    RunTime = 4,
    RecordManager = 5,
    IndexManager = 6,
    LockManager = 7,
    LogManager = 8,
    BufferManager = 9,
    FileManager = 10,
    Support = 11
};

#endif
