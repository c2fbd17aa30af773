// Takes the part of the start (and of a forced stop) that concerns the log,
// for the database in ORV_DATABASE_PATH, with its own working directory as
// the log directory: with "restart", first removes the log file handling
// area regardless of its holders (as a forced stop does after a crash), then
// creates it again, which takes up the existing log files. The area is left
// for the caller. Run by the log tests with ORV_TRACE_FILE set, to see the
// trace records of the start.
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLog.h"

#include <cstring>
#include <iostream>

int main(int argc, char* argv[]) {
    OrvError error;
    bool restart = argc == 2 && std::strcmp(argv[1], "restart") == 0;
    if (argc > 2 || (argc == 2 && !restart)) {
        std::cerr << "Usage: " << argv[0] << " [restart]\n";
        return 2;
    }
    try {
        if (restart) {
            OrvLogManager::destroyLogFileHandling(true);
        }
        OrvLogManager::initializeLogFileHandling();
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    return 0;
}
