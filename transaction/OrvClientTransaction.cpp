// Beginning and committing the transactions of a client process.
#include "OrvTransaction.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"
#include "support/OrvTrace.h"

void OrvClientTransaction::begin() {
    ORV_TRACE(Support);
    ORV_RAISE(OrvTransactionManager::getInstance()->startNewTransaction());
}

void OrvClientTransaction::commit() {
    ORV_TRACE(Support);
    // A fix left over means an operation did not finish: commit nothing.
    OrvBufferManager::checkNoFixesOfThisProcess();
    OrvRecordManager::getInstance()->commit();
    OrvBufferManager::getInstance()->commit();
    OrvLockManager::getInstance()->releaseAll();
    ORV_RAISE(OrvTransactionManager::getInstance()->startNewTransaction());
}
