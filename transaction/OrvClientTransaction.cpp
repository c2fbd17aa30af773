// Beginning, committing and rolling back the transactions of a client
// process.
#include "OrvTransaction.h"

#include "OrvBuffer.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"
#include "support/OrvErrorBoundary.h"
#include "support/OrvTrace.h"

void OrvClientTransaction::begin() {
    ORV_TRACE(Support);
    ORV_RAISE(OrvTransactionManager::getInstance()->startNewTransaction());
}

void OrvClientTransaction::commit() {
    ORV_TRACE(Support);
    // A catalog change that stopped half way would leave a table or index
    // that can be neither read nor removed: only a rollback may end it.
    if (OrvTransactionManager::getInstance()->hasFailedCatalogWrite()) {
        ORV_THROW(ORV_TX_CATALOG_WRITE_FAILED);
    }
    // A fix left over means an operation did not finish: commit nothing.
    OrvBufferManager::checkNoFixesOfThisProcess();
    OrvRecordManager::getInstance()->commit();
    OrvIndexManager::getInstance()->commit();
    OrvBufferManager::getInstance()->commit();
    OrvLockManager::getInstance()->releaseAll();
    ORV_RAISE(OrvTransactionManager::getInstance()->startNewTransaction());
}

void OrvClientTransaction::rollback() {
    ORV_TRACE(Support);
    // A fix left over would be held across the undo, which fixes pages of
    // its own: give it back first.
    OrvBufferManager::checkNoFixesOfThisProcess();
    OrvRecordManager::getInstance()->rollback();
    OrvIndexManager::getInstance()->rollback();
    OrvBufferManager::getInstance()->rollback();
    OrvLockManager::getInstance()->releaseAll();
    ORV_RAISE(OrvTransactionManager::getInstance()->startNewTransaction());
}

OrvTransactionGuard::OrvTransactionGuard(OrvTransactionGuard&& other) noexcept : done(other.done) {
    other.done = true;
}

OrvTransactionGuard::~OrvTransactionGuard() {
    if (done) {
        return;
    }
    OrvErrorBoundary::noThrow(Support, "rolling back an unfinished transaction",
                              [] { OrvClientTransaction::rollback(); });
}

void OrvTransactionGuard::commit() {
    ORV_TRACE(Support);
    OrvClientTransaction::commit();
    done = true;
}

void OrvTransactionGuard::rollback() {
    ORV_TRACE(Support);
    done = true;
    OrvClientTransaction::rollback();
}
