#include "OrvTransaction.h"

#include "OrvDebug.h"
#include "support/OrvTrace.h"

#include <iostream>

OrvTransactionManager* OrvTransactionManager::instance = nullptr;

OrvTransactionManager::OrvTransactionManager() : mCurrentTransactionID() {
    ORV_TRACE(Support);
    OrvDebug::registerFunction(&OrvTransactionManager::dumpCurrentTransactionId, nullptr,
                               "transactionId", "Dumps the current TransactionId");
}

OrvTransactionManager* OrvTransactionManager::getInstance() {
    ORV_TRACE(Support);
    if (instance == nullptr) {
        instance = new OrvTransactionManager();
    }
    return instance;
}

void OrvTransactionManager::resetForProcess() {
    ORV_TRACE(Support);
    delete instance;
    instance = nullptr;
}

OrvTransactionId OrvTransactionManager::getCurrentTransactionID() const {
    ORV_TRACE(Support);
    return mCurrentTransactionID;
}

OrvErrorCode OrvTransactionManager::startNewTransaction() {
    ORV_TRACE(Support);
    // Uint16 arithmetic: 65535 + 1 wraps to 0.
    Uint16 next = static_cast<Uint16>(mCurrentTransactionID.getUniqueCount() + 1);
    mCurrentTransactionID = OrvTransactionId(mCurrentTransactionID.getProcessID(), next);
    catalogWriteFailed = false;
    return ORV_SUCCESS;
}

void OrvTransactionManager::dumpCurrentTransactionId(const std::string* /*args*/) {
    ORV_TRACE(Support);
    std::cout << "Current TransactionId: " << getInstance()->getCurrentTransactionID() << std::endl;
}
