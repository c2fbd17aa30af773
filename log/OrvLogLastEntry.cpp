// The last entry each process wrote for its own transaction, published for
// the takeover of the transaction of a process that died.
#include "log/OrvLogManager.h"

#include "OrvTransaction.h"

#include <unistd.h>

namespace {

Uint64* lastEntryWord = nullptr;
pid_t lastEntryProcess = 0;

} // namespace

// Still under the log latch: once the latch is free again, the word names
// every entry of the transaction that is in the file.
void orvPublishLastEntry(const OrvTransactionId& transactionId, const OrvLsn& lsn) {
    if (lastEntryWord != nullptr && transactionId.getProcessID() == lastEntryProcess) {
        __atomic_store_n(lastEntryWord,
                         OrvLogManager::packLastEntry(transactionId.getUniqueCount(), lsn),
                         __ATOMIC_RELEASE);
    }
}

void OrvLogManager::publishLastEntryTo(Uint64* word) {
    lastEntryWord = word;
    lastEntryProcess = getpid();
}

Uint64 OrvLogManager::packLastEntry(Uint16 count, const OrvLsn& lsn) {
    return (Uint64(count) << 48) | (Uint64(lsn.getFilenumber()) << 32) | Uint64(lsn.getOffset());
}

void OrvLogManager::unpackLastEntry(Uint64 word, Uint16& count, OrvLsn& lsn) {
    count = static_cast<Uint16>(word >> 48);
    lsn = OrvLsn(static_cast<Uint16>(word >> 32), static_cast<Uint32>(word));
}
