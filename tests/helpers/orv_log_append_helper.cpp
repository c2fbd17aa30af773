// Appends record entries of its own transaction to the log of the database
// in ORV_DATABASE_PATH (whose log file handling area must exist) and prints
// the LSN of each, one a line. The only argument is the number of entries.
// Run by the log tests as a separate engine process.
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLog.h"
#include "OrvTransaction.h"
#include "log/OrvRecordLogEntry.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char* argv[]) {
    OrvError error;
    int count = argc == 2 ? std::atoi(argv[1]) : 0;
    if (count <= 0) {
        std::cerr << "Usage: " << argv[0] << " <number of entries>\n";
        return 2;
    }
    try {
        OrvTransactionId me = OrvTransactionManager::getInstance()->getCurrentTransactionID();
        TupleId tid(1, 1);
        for (int i = 0; i < count; ++i) {
            OrvRecordLogEntry entry(me, 7, nullptr, 0, "helper", 6, INSERT, &tid, nullptr, nullptr);
            std::cout << OrvLogManager::getInstance()->createLogEntry(&entry).dump() << "\n";
        }
        OrvLogManager::deleteInstance();
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    return 0;
}
