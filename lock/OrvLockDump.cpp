// The dumps of the lock list and the debug command "LM_STATS". They read the
// shared list without the latch, by index, and never follow its links.
#include "OrvLock.h"

#include "OrvDebug.h"
#include "OrvException.h"
#include "lock/OrvLockList.h"
#include "lock/OrvOwnLocks.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <initializer_list>
#include <iomanip>
#include <iostream>
#include <vector>

using namespace OrvLockList;

namespace {

// The type names of the dumps; a value no entry should hold is shown as
// "Unknown" rather than trusted.
const char* dumpTypeName(Uint32 lockType) {
    switch (lockType) {
    case OrvLockManager::SharedLock:
        return "Shared";
    case OrvLockManager::ExclusiveLock:
        return "Exclusive";
    case OrvLockManager::IntentionalSharedLock:
        return "IntShared";
    case OrvLockManager::IntentionalExclusiveLock:
        return "IntExclusive";
    default:
        return "Unknown";
    }
}

// "<end>" for the end of a chain, else the index.
std::string linkText(Uint32 index, Uint32 end) {
    return index == end ? std::string("<end>") : std::to_string(index);
}

} // namespace

// "<end>" is right-aligned in its column like the numbers.

void OrvLockManager::printEntryHeading() {
    ORV_TRACE(LockManager);
    std::cout << "\n"
              << "|Entry|locktype    |transaction id|segment id|page id|slot id|prev entry|"
                 "next entry|\n"
              << "|=====|============|==============|==========|=======|=======|==========|"
                 "==========|\n";
}

void OrvLockManager::printEntryRow(Uint32 index) const {
    ORV_TRACE(LockManager);
    const LockEntry entry = lockEntry[index];
    std::cout << "|" << std::setw(5) << index << "|" << std::setw(12)
              << dumpTypeName(entry.lockType) << "|" << std::setw(14) << entry.transactionId.dump()
              << "|" << std::setw(10) << entry.segmentId << "|" << std::setw(7) << entry.pageId
              << "|" << std::setw(7) << static_cast<unsigned>(entry.slotId) << "|" << std::setw(10)
              << linkText(entry.prevEntry, LIST_END) << "|" << std::setw(10)
              << linkText(entry.nextEntry, LIST_END) << "|\n";
}

void OrvLockManager::printLockList(bool printBuckets) {
    ORV_TRACE(LockManager);
    std::cout << "\n"
              << "                                LockListe                                   \n"
              << "|==========================================================================|\n";
    if (printBuckets) {
        printLockListHashMap();
    }
    printLockListAllTransactions();
}

void OrvLockManager::printLockListHashMap() {
    ORV_TRACE(LockManager);
    bool latched = false;
    const bool known = header->latch.isLocked(latched) == ORV_SUCCESS;
    std::cout << "                  LockList HashMap                 \n"
              << "===================================================\n"
              << "header->latch: " << (known ? (latched ? "true" : "false") : "unknown") << "\n"
              << "header->countEntry: " << header->countEntry << "\n"
              << "\n"
              << "Attention: Last entry points to next free lockentry\n"
              << "\n"
              << "|bucket|link to list|\n"
              << "|======|============|\n";
    for (Uint32 head = 0; head < INDEX_LENGTH; ++head) {
        std::cout << "|" << std::setw(6) << head << "|" << std::setw(12)
                  << linkText(header->index[head], LIST_END) << "|\n";
    }
    std::cout.flush();
}

void OrvLockManager::printLockListAllTransactions() {
    ORV_TRACE(LockManager);
    printEntryHeading();
    for (Uint32 index = 0; index <= MAX_ENTRY; ++index) {
        if (lockEntry[index].transactionId != noTransaction()) {
            printEntryRow(index);
        }
    }
    std::cout.flush();
}

void OrvLockManager::printLockListOfTransaction(const OrvTransactionId& transactionId) {
    ORV_TRACE(LockManager);
    printEntryHeading();
    for (Uint32 index = 0; index <= MAX_ENTRY; ++index) {
        if (transactionId != noTransaction() && lockEntry[index].transactionId == transactionId) {
            printEntryRow(index);
        }
    }
    std::cout.flush();
}

void OrvLockManager::printLockListOfCurrentTransaction() {
    ORV_TRACE(LockManager);
    printEntryHeading();
    own->forEachAscending([this](Uint32 index) { printEntryRow(index); });
    std::cout.flush();
}

void OrvLockManager::printWaitList() {
    ORV_TRACE(LockManager);
    std::cout << "|index|waitTrans|indexlockentry|preventry|nextentry|\n"
              << "|=====|=========|==============|=========|=========|\n";
    for (Uint32 slot = 0; slot <= MAX_ENTRY_WAITING; ++slot) {
        const WaitingEntry entry = waitingList[slot];
        if (entry.waitingTransaction == noTransaction()) {
            continue;
        }
        std::cout << "|" << std::setw(5) << slot << "|" << std::setw(9)
                  << entry.waitingTransaction.dump() << "|" << std::setw(14)
                  << entry.indexOfLockEntry << "|" << std::setw(9)
                  << linkText(entry.prevEntry, LIST_END_WAITING) << "|" << std::setw(9)
                  << linkText(entry.nextEntry, LIST_END_WAITING) << "|\n";
    }
    std::cout.flush();
}

void OrvLockManager::staticPrintLockListAllTransactions() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListAllTransactions();
}

void OrvLockManager::staticPrintLockListHashMap() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListHashMap();
}

void OrvLockManager::staticPrintLockListOfTransaction(const std::string& transactionId) {
    ORV_TRACE(LockManager);
    const OrvTransactionId id(transactionId);
    getInstance()->printLockListOfTransaction(id);
}

void OrvLockManager::staticPrintLockListOfCurrentTransaction() {
    ORV_TRACE(LockManager);
    getInstance()->printLockListOfCurrentTransaction();
}

void OrvLockManager::staticPrintWaitList() {
    ORV_TRACE(LockManager);
    getInstance()->printWaitList();
}

void OrvLockManager::lmStats(const std::string* args) {
    ORV_TRACE(LockManager);
    const std::vector<std::string> fields = OrvDebug::splitArguments(args);
    const auto is = [&fields](std::initializer_list<const char*> words) {
        return fields.size() == words.size() &&
               std::equal(fields.begin(), fields.end(), words.begin());
    };
    try {
        if (is({"current", "transaction"})) {
            staticPrintLockListOfCurrentTransaction();
        } else if (is({"waitinglist"})) {
            staticPrintWaitList();
        } else if (is({"locklisthashmap"}) || is({"hashmap"})) {
            staticPrintLockListHashMap();
        } else {
            // "all transactions", and anything else.
            staticPrintLockListAllTransactions();
        }
    } catch (const OrvException& e) {
        e.print_message(std::cout);
        std::cout.flush();
    }
}
