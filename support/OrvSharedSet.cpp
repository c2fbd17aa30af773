#include "support/OrvSharedSet.h"

#include "OrvError.h"
#include "OrvException.h"
#include "support/OrvLatch.h"
#include "support/OrvTrace.h"

namespace OrvSharedSet {

#define ORV_RAISE_AS(code, callText)                                                               \
    OrvException::raise((code), (callText), __FILE__, __LINE__, __PRETTY_FUNCTION__)

void create(OrvMemoryManager::MemorySet set, const std::function<void(void* data)>& init) {
    ORV_TRACE(Support);
    OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
    mm->createMemorySet(set);
    void* data = nullptr;
    OrvLatch* latch = nullptr;
    try {
        mm->connectToMemorySet(set, data);
        latch = static_cast<OrvLatch*>(data);
        ORV_RAISE(latch->initialize());
        if (init) {
            init(data);
        }
        mm->disconnectFromMemorySet(set);
    } catch (const OrvException&) {
        // Leave nothing half made behind: a set without a working latch would
        // make every later start fail until someone removed it by hand.
        if (latch != nullptr) {
            (void)latch->destroy(true);
        }
        try {
            if (data != nullptr) {
                mm->disconnectFromMemorySet(set);
            }
            mm->destroyMemorySet(set);
        } catch (const OrvException&) {
            orvTrace.traceString(1, "could not remove a half created memory set");
        }
        throw;
    }
}

namespace {

// Detaches at the end of a removal only if the removal attached.
class Attachment {
public:
    explicit Attachment(OrvMemoryManager::MemorySet set) : set(set) {
        OrvMemoryManager* mm = OrvMemoryManager::getMemoryManager();
        data = mm->attachedData(set);
        if (data == nullptr) {
            mm->connectToMemorySet(set, data);
            own = true;
        }
    }
    ~Attachment() {
        try {
            detach();
        } catch (const OrvException& e) {
            e.SET_ERROR();
        }
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    void detach() {
        if (own) {
            own = false;
            OrvMemoryManager::getMemoryManager()->disconnectFromMemorySet(set);
        }
    }
    void* data = nullptr;

private:
    OrvMemoryManager::MemorySet set;
    bool own = false;
};

} // namespace

void destroy(OrvMemoryManager::MemorySet set, bool force, const BeforeRemoval& beforeRemoval) {
    ORV_TRACE(Support);
    Attachment attachment(set);
    OrvLatch& latch = *static_cast<OrvLatch*>(attachment.data);

    bool broken = false;
    if (latch.breakDeadExclusiveHold(broken) == ORV_SUCCESS && broken) {
        orvTrace.traceString(1, "freed a latch left held by a dead process");
    }

    OrvErrorCode latchRc = ORV_SUCCESS;
    if (beforeRemoval) {
        latchRc = latch.get(OrvLatch::Exclusive);
        if (latchRc != ORV_SUCCESS) {
            if (!force) {
                ORV_RAISE_AS(latchRc, "latch.get(OrvLatch::Exclusive)");
            }
            // No process can work on the set through a broken latch.
            orvTrace.traceString(2, "the latch is unusable; going on without it");
        }
        const bool held = latchRc == ORV_SUCCESS;
        try {
            beforeRemoval(attachment.data, held);
        } catch (const OrvException& e) {
            if (!force) {
                if (held) {
                    (void)latch.release();
                }
                throw;
            }
            e.SET_ERROR();
            orvTrace.traceString(1, "the last work on a set failed; removing it regardless");
        }
    }

    // Removed while held when beforeRemoval took it: as destroy(false) does
    // after taking it itself.
    const bool held = beforeRemoval && latchRc == ORV_SUCCESS;
    const OrvErrorCode destroyRc = latch.destroy(force || held);
    if (destroyRc != ORV_SUCCESS) {
        if (!force) {
            if (held) {
                (void)latch.release();
            }
            ORV_RAISE_AS(destroyRc, held ? "latch.destroy(true)" : "latch.destroy(force)");
        }
        orvTrace.traceString(3, "the latch could not be removed");
    }
    attachment.detach();
    OrvMemoryManager::getMemoryManager()->destroyMemorySet(set);
}

} // namespace OrvSharedSet
