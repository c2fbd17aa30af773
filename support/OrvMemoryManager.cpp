#include "support/OrvMemoryManager.h"

#include "support/OrvDatabasePath.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "support/OrvTrace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

// The lock list (header, lock entries and waiting entries) occupies 2048040
// bytes from the start of the set's data: 40 bytes more than
// ORV_LOCK_LIST_SIZE (2048000). The set is made large enough for the whole
// layout; the constant keeps its value for the lock manager's own use.
constexpr std::size_t LOCK_LIST_SET_SIZE = ORV_LOCK_LIST_SIZE + 40;
static_assert(LOCK_LIST_SET_SIZE >= 2048040, "the lock list layout must fit its set");

// The longest resolved directory name that fits the 1024-byte buffer of the
// original design; longer ones are refused with ENAMETOOLONG.
constexpr std::size_t MAX_RESOLVED_PATH_LENGTH = 1023;

constexpr int SEGMENT_PERMISSIONS = 0660;

OrvMemoryManager::MemorySetAttributes memorySets[OrvMemoryManager::NUMBER_OF_SETS] = {
    {OrvMemoryManager::BufferPool, "Buffer Pool", ORV_BUFFER_POOL_SIZE, -1, nullptr},
    {OrvMemoryManager::LockList, "Lock List", LOCK_LIST_SET_SIZE, -1, nullptr},
    {OrvMemoryManager::LogFileHandling, "Log File Handling", ORV_LOG_FILE_HANDLING_SIZE, -1,
     nullptr},
};

std::string errorNumber(int error) {
    return OrvException::to_string(error);
}
std::string errorText(int error) {
    return std::strerror(error);
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

} // namespace

OrvMemoryManager* OrvMemoryManager::getMemoryManager() {
    ORV_TRACE(Support);
    // Never deleted: sets may still be attached while static objects go away.
    static OrvMemoryManager* instance = new OrvMemoryManager();
    return instance;
}

OrvMemoryManager::MemorySetAttributes& OrvMemoryManager::getSetProperties(MemorySet set) const {
    ORV_TRACE(Support);
    for (MemorySetAttributes& attributes : memorySets) {
        if (attributes.setId == set) {
            return attributes;
        }
    }
    ORV_THROW(ORV_INTERNAL_FAIL);
}

std::size_t OrvMemoryManager::getSetSize(MemorySet set) const {
    ORV_TRACE(Support);
    return getSetProperties(set).size;
}

int OrvMemoryManager::getShmId(MemorySet set, bool create) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    const std::string setName = attributes.name;
    const std::string setNumber = OrvException::to_string(set);

    int flags = SEGMENT_PERMISSIONS;
    if (create) {
        flags |= IPC_CREAT | IPC_EXCL;
    }

    const char* databasePath = orvDatabasePath();
    // realpath allocates a buffer of the size it needs; the path comes from the
    // environment and must never overrun a fixed buffer.
    std::unique_ptr<char, FreeDeleter> resolved(realpath(databasePath, nullptr));
    if (!resolved) {
        const int error = errno;
        ORV_THROW(ORV_MM_SHM_CREATE_FAIL, setName, setNumber, errorNumber(error), errorText(error));
    }
    if (std::strlen(resolved.get()) > MAX_RESOLVED_PATH_LENGTH) {
        ORV_THROW(ORV_MM_SHM_CREATE_FAIL, setName, setNumber, errorNumber(ENAMETOOLONG),
                  errorText(ENAMETOOLONG));
    }

    const key_t key = ftok(resolved.get(), set);
    if (key == static_cast<key_t>(-1)) {
        const int error = errno;
        ORV_THROW(ORV_MM_SHM_CREATE_FAIL, setName, setNumber, errorNumber(error), errorText(error));
    }
    if (key == IPC_PRIVATE) {
        // ftok gives 0 for set 0 when the low bits of device and inode are all
        // zero; shmget would then make a new private segment on every call
        // instead of finding the shared one.
        ORV_THROW(ORV_MM_SHM_CREATE_FAIL, setName, setNumber, errorNumber(EINVAL),
                  errorText(EINVAL));
    }

    const int id = shmget(key, attributes.size + SEGMENT_OVERHEAD, flags);
    if (id < 0) {
        const int error = errno;
        if (create) {
            ORV_THROW(ORV_MM_SHM_CREATE_FAIL, setName, setNumber, errorNumber(error),
                      errorText(error));
        }
        ORV_THROW(ORV_MM_SHM_GETID_FAIL, setName, errorNumber(error), errorText(error));
    }
    attributes.shmId = id;
    return id;
}

void OrvMemoryManager::createMemorySet(MemorySet set) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    const int shmId = getShmId(set, true);

    void* segment = shmat(shmId, nullptr, 0);
    if (segment == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        // Do not leave a segment without markers behind.
        shmctl(shmId, IPC_RMID, nullptr);
        attributes.shmId = -1;
        ORV_THROW(ORV_MM_SHM_CONNECT_FAIL, attributes.name, OrvException::to_string(shmId),
                  errorNumber(error), errorText(error));
    }
    char* bytes = static_cast<char*>(segment);
    std::memcpy(bytes, MARKER, MARKER_SIZE);
    std::memcpy(bytes + DATA_OFFSET + attributes.size, MARKER, MARKER_SIZE);

    if (shmdt(segment) != 0) {
        const int error = errno;
        ORV_THROW(ORV_MM_SHM_DISCONNECT_FAIL, attributes.name, OrvException::to_string(shmId),
                  errorNumber(error), errorText(error));
    }
}

void OrvMemoryManager::destroyMemorySet(MemorySet set) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    // The id is always looked up by key: an id remembered from earlier may
    // belong to a segment that another process has destroyed (and perhaps
    // re-created under a new id) since.
    const int shmId = getShmId(set, false);

    if (shmctl(shmId, IPC_RMID, nullptr) != 0) {
        const int error = errno;
        ORV_THROW(ORV_MM_SHM_DESTROY_WARN, attributes.name, OrvException::to_string(shmId),
                  errorNumber(error), errorText(error));
    }
    // The segment is gone for every later lookup. ptr stays: this process may
    // still be attached and must be able to detach.
    attributes.shmId = -1;
}

void OrvMemoryManager::connectToMemorySet(MemorySet set, void*& address) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    if (attributes.ptr != nullptr) {
        ORV_THROW(ORV_MM_SHM_ALREADY_ATTACHED, attributes.name,
                  OrvException::to_string(attributes.shmId));
    }

    // Looked up by key on every attach, not only when no id is known: a
    // remembered id may name a segment destroyed by another process, and
    // attaching it would hand out memory that no other process sees.
    int shmId = -1;
    try {
        shmId = getShmId(set, false);
    } catch (const OrvException&) {
        attributes.shmId = -1;
        ORV_THROW(ORV_MM_SHM_NOT_EXISTS, attributes.name);
    }

    void* segment = shmat(shmId, nullptr, 0);
    if (segment == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        ORV_THROW(ORV_MM_SHM_CONNECT_FAIL, attributes.name, OrvException::to_string(shmId),
                  errorNumber(error), errorText(error));
    }
    attributes.ptr = segment;
    address = static_cast<char*>(segment) + DATA_OFFSET;
}

void OrvMemoryManager::disconnectFromMemorySet(MemorySet set) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    if (attributes.ptr == nullptr) {
        ORV_THROW(ORV_MM_SHM_NOT_ATTACHED, attributes.name);
    }
    // No segment id is needed: a destroy forgets the id, and refusing here
    // would leave a process that destroyed a set it is attached to attached
    // for good. The detach needs only the address.
    if (shmdt(attributes.ptr) != 0) {
        const int error = errno;
        if (error != EINVAL) {
            ORV_THROW(ORV_MM_SHM_DISCONNECT_FAIL, attributes.name,
                      OrvException::to_string(attributes.shmId), errorNumber(error),
                      errorText(error));
        }
    }
    attributes.ptr = nullptr;
}
