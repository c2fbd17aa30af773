// orvstart: creates the engine's shared state for the database in
// ORV_DATABASE_PATH (default: the working directory).
#include "OrvBuffer.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvSystem.h"
#include "support/OrvTrace.h"

#include <iostream>

int main(int argc, char* argv[]) {
    ORV_TRACE(CommandLine);
    OrvException::SETUP();
    std::cout << std::endl;
    OrvError error;
    if (argc != 1) {
        std::cout << "Usage: " << argv[0] << "\n\n";
        return 1;
    }
    try {
        OrvSystem::start();
        // The catalog a first start made must be in its files before the
        // start is reported: a failed write is a failed start.
        OrvBufferManager::getInstance()->flushAll();
        std::cout << "The system was started successfully. SQLSTATE=00000" << std::endl;
        OrvSystem::stopAllManagers();
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    return 0;
}
