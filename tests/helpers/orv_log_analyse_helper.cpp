// Reads the log files of the directory given as the only argument, as a
// fresh process would for a rollback, and prints how many record and index
// entries it found: "records <n> index <m>". Run by the log tests with
// ORV_TRACE_FILE set, to see the trace records of the reading.
#include "OrvError.h"
#include "OrvException.h"
#include "log/OrvRecovery.h"

#include <iostream>

int main(int argc, char* argv[]) {
    OrvError error;
    if (argc != 2) {
        std::cerr << "Usage: " << argv[0] << " <log directory>\n";
        return 2;
    }
    try {
        OrvRecovery recovery(argv[1]);
        recovery.AnalyseLog(ALL);
        std::cout << "records " << recovery.getRecordRedoListLength() << " index "
                  << recovery.getIndexRedoListLength() << std::endl;
    } catch (const OrvException& e) {
        e.print(std::cerr);
        return 1;
    }
    return 0;
}
