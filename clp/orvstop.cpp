// orvstop: removes the engine's shared state for the database in
// ORV_DATABASE_PATH (default: the working directory).
//
//   orvstop           refuses while a lock is held or a page is fixed
//   orvstop --force   removes everything regardless
#include "OrvError.h"
#include "OrvException.h"
#include "OrvSystem.h"
#include "support/OrvTrace.h"

#include <cstring>
#include <iostream>

int main(int argc, char* argv[]) {
    ORV_TRACE(CommandLine);
    OrvException::SETUP();
    std::cout << std::endl;
    OrvError error;
    bool force = false;
    if (argc == 2 && std::strcmp(argv[1], "--force") == 0) {
        force = true;
    } else if (argc != 1) {
        std::cout << "Usage: " << argv[0] << " [--force]\n\n";
        return 1;
    }
    try {
        OrvSystem::stop(force);
        std::cout << "The system was stopped successfully. SQLSTATE=00000" << std::endl;
        OrvSystem::stopAllManagers();
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    return 0;
}
