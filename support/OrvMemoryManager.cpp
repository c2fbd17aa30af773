#include "support/OrvMemoryManager.h"

#include "support/OrvDatabasePath.h"

#include "OrvConfig.h"
#include "OrvException.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock list (header, lock entries, waiting entries and the process
// table) occupies 2058280 bytes from the start of the set's data: 10280
// bytes more than ORV_LOCK_LIST_SIZE (2048000). The set is made large enough
// for the whole layout; the constant keeps its value for the lock manager's
// own use.
constexpr std::size_t LOCK_LIST_SET_SIZE = ORV_LOCK_LIST_SIZE + 10280;
static_assert(LOCK_LIST_SET_SIZE >= 2058280, "the lock list layout must fit its set");

// The buffer pool's frames fill ORV_BUFFER_POOL_SIZE; the table of the
// processes' fixes lies behind them (buffer/OrvBufferPool.h).
constexpr std::size_t BUFFER_POOL_SET_SIZE = ORV_BUFFER_POOL_SIZE + 13240;

// The longest resolved directory name that fits the 1024-byte buffer of the
// original design; longer ones are refused with ENAMETOOLONG.
constexpr std::size_t MAX_RESOLVED_PATH_LENGTH = 1023;

constexpr int SEGMENT_PERMISSIONS = 0660;

OrvMemoryManager::MemorySetAttributes memorySets[OrvMemoryManager::NUMBER_OF_SETS] = {
    {OrvMemoryManager::BufferPool, "Buffer Pool", BUFFER_POOL_SET_SIZE, -1, nullptr},
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

namespace {

using Directory = OrvMemoryManager::DatabaseDirectory;

// Paths are cut so that a message naming two of them still fits the error
// object, which would otherwise show only its fallback text.
constexpr std::size_t SHOWN_PATH_LENGTH = 300;

std::string describe(const std::string& path, Uint64 device, Uint64 inode) {
    const std::string shown =
        path.size() > SHOWN_PATH_LENGTH ? path.substr(0, SHOWN_PATH_LENGTH) + "..." : path;
    return "'" + shown + "' (device " + OrvException::to_string(device) + ", inode " +
           OrvException::to_string(inode) + ")";
}

std::string describe(const Directory& directory) {
    return describe(directory.path, directory.device, directory.inode);
}

} // namespace

OrvMemoryManager::DatabaseDirectory OrvMemoryManager::resolveDatabaseDirectory() {
    ORV_TRACE(Support);
    const char* databasePath = orvDatabasePath();
    // realpath allocates a buffer of the size it needs; the path comes from the
    // environment and must never overrun a fixed buffer.
    std::unique_ptr<char, FreeDeleter> resolved(realpath(databasePath, nullptr));
    if (!resolved) {
        const int error = errno;
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, databasePath, errorText(error));
    }
    if (std::strlen(resolved.get()) > MAX_RESOLVED_PATH_LENGTH) {
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, databasePath,
                  "its resolved name is longer than " +
                      OrvException::to_string(MAX_RESOLVED_PATH_LENGTH) + " characters");
    }
    struct stat status;
    if (stat(resolved.get(), &status) != 0) {
        const int error = errno;
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, databasePath, errorText(error));
    }
    if (!S_ISDIR(status.st_mode)) {
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, databasePath, "it is not a directory");
    }
    return Directory{resolved.get(), static_cast<Uint64>(status.st_dev),
                     static_cast<Uint64>(status.st_ino), status.st_uid};
}

namespace {

key_t keyOf(const Directory& directory, OrvMemoryManager::MemorySet set) {
    const key_t key = ftok(directory.path.c_str(), set);
    if (key == static_cast<key_t>(-1)) {
        const int error = errno;
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, directory.path, errorText(error));
    }
    if (key == IPC_PRIVATE) {
        // ftok gives 0 for set 0 when the low bits of device and inode are all
        // zero; shmget would then make a new private segment on every call
        // instead of finding the shared one.
        ORV_THROW(ORV_MM_DATABASE_PATH_INVALID, directory.path,
                  "it maps to the private shared memory key");
    }
    return key;
}

// Throws unless the segment shmId was made for this directory by its owner.
// Throws when the set shmId is not this directory's own. With
// `unwrittenIsOwn`, a set whose identity is not written yet counts as its
// own: a creator that lost the race to another one of the same directory
// sees the winner's set before the winner has written the identity into it.
void checkBelongs(const OrvMemoryManager::MemorySetAttributes& attributes, int shmId,
                  const Directory& directory, bool unwrittenIsOwn = false) {
    const std::string id = OrvException::to_string(shmId);
    struct shmid_ds info;
    if (shmctl(shmId, IPC_STAT, &info) != 0) {
        const int error = errno;
        if (error == EACCES) {
            ORV_THROW(ORV_MM_SHM_ACCESS_DENIED, attributes.name, errorNumber(error),
                      errorText(error));
        }
        ORV_THROW(ORV_MM_SHM_GETID_FAIL, attributes.name, errorNumber(error), errorText(error));
    }
    if (info.shm_perm.cuid != directory.owner) {
        ORV_THROW(ORV_MM_SHM_FOREIGN_OWNER, attributes.name, id,
                  OrvException::to_string(info.shm_perm.cuid), directory.path,
                  OrvException::to_string(directory.owner));
    }
    if (info.shm_segsz != attributes.size + OrvMemoryManager::SEGMENT_OVERHEAD) {
        ORV_THROW(ORV_MM_SHM_FOREIGN_SET, attributes.name, id,
                  "a segment of " + OrvException::to_string(info.shm_segsz) +
                      " bytes that is no memory set of this engine",
                  describe(directory));
    }
    const void* segment = shmat(shmId, nullptr, SHM_RDONLY);
    if (segment == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        if (error == EACCES) {
            ORV_THROW(ORV_MM_SHM_ACCESS_DENIED, attributes.name, errorNumber(error),
                      errorText(error));
        }
        ORV_THROW(ORV_MM_SHM_CONNECT_FAIL, attributes.name, id, errorNumber(error),
                  errorText(error));
    }
    OrvMemoryManager::SetIdentity identity;
    std::memcpy(&identity, static_cast<const char*>(segment) + OrvMemoryManager::IDENTITY_OFFSET,
                sizeof(identity));
    shmdt(segment);
    if (identity.magic == OrvMemoryManager::IDENTITY_MAGIC && identity.device == directory.device &&
        identity.inode == directory.inode) {
        return;
    }
    if (unwrittenIsOwn && identity.magic == 0) {
        return;
    }
    std::string other = "a segment that is no memory set of this engine";
    if (identity.magic == OrvMemoryManager::IDENTITY_MAGIC) {
        // The path comes from shared memory: never trust its length.
        const std::size_t length = std::min<std::size_t>(
            identity.pathLength, OrvMemoryManager::IDENTITY_PATH_CAPACITY - 1);
        other = "the database directory " +
                describe(std::string(identity.path, strnlen(identity.path, length)),
                         identity.device, identity.inode);
    }
    ORV_THROW(ORV_MM_SHM_FOREIGN_SET, attributes.name, id, other, describe(directory));
}

} // namespace

int OrvMemoryManager::findOwnSet(MemorySet set) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    const Directory directory = resolveDatabaseDirectory();
    const key_t key = keyOf(directory, set);
    // Size 0 finds a segment of any size, so that one of another size is
    // reported as foreign rather than as a bare EINVAL.
    const int id = shmget(key, 0, SEGMENT_PERMISSIONS);
    if (id < 0) {
        const int error = errno;
        if (error == ENOENT) {
            ORV_THROW(ORV_MM_SHM_NOT_EXISTS, attributes.name);
        }
        if (error == EACCES) {
            ORV_THROW(ORV_MM_SHM_ACCESS_DENIED, attributes.name, errorNumber(error),
                      errorText(error));
        }
        ORV_THROW(ORV_MM_SHM_GETID_FAIL, attributes.name, errorNumber(error), errorText(error));
    }
    checkBelongs(attributes, id, directory);
    attributes.shmId = id;
    return id;
}

void OrvMemoryManager::createMemorySet(MemorySet set) {
    ORV_TRACE(Support);
    MemorySetAttributes& attributes = getSetProperties(set);
    const std::string setNumber = OrvException::to_string(set);
    const Directory directory = resolveDatabaseDirectory();
    // Sets made by anybody but the owner would be taken for planted ones by
    // every later attach; and a user who cannot even read the directory must
    // not be able to decide where its engine's state lives.
    if (geteuid() != directory.owner) {
        ORV_THROW(ORV_MM_NOT_DIRECTORY_OWNER, directory.path,
                  OrvException::to_string(directory.owner), OrvException::to_string(geteuid()));
    }
    const key_t key = keyOf(directory, set);
    const int shmId =
        shmget(key, attributes.size + SEGMENT_OVERHEAD, SEGMENT_PERMISSIONS | IPC_CREAT | IPC_EXCL);
    if (shmId < 0) {
        const int error = errno;
        if (error == EEXIST) {
            // Say whose set it is when it is not this directory's own.
            const int existing = shmget(key, 0, 0);
            if (existing >= 0) {
                checkBelongs(attributes, existing, directory, true);
            }
        }
        ORV_THROW(ORV_MM_SHM_CREATE_FAIL, attributes.name, setNumber, errorNumber(error),
                  errorText(error));
    }
    attributes.shmId = shmId;

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
    SetIdentity identity = {};
    identity.device = directory.device;
    identity.inode = directory.inode;
    identity.magic = IDENTITY_MAGIC;
    identity.pathLength = static_cast<Uint32>(directory.path.size());
    std::memcpy(identity.path, directory.path.c_str(), directory.path.size() + 1);
    std::memcpy(bytes + IDENTITY_OFFSET, &identity, sizeof(identity));
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
    attributes.shmId = -1;
    int shmId = -1;
    try {
        shmId = findOwnSet(set);
    } catch (const OrvException& e) {
        if (e.getErrorCode() != ORV_MM_SHM_NOT_EXISTS) {
            throw;
        }
        ORV_THROW(ORV_MM_SHM_GETID_FAIL, attributes.name, errorNumber(ENOENT), errorText(ENOENT));
    }

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
    attributes.shmId = -1;
    const int shmId = findOwnSet(set);

    void* segment = shmat(shmId, nullptr, 0);
    if (segment == reinterpret_cast<void*>(-1)) {
        const int error = errno;
        if (error == EACCES) {
            ORV_THROW(ORV_MM_SHM_ACCESS_DENIED, attributes.name, errorNumber(error),
                      errorText(error));
        }
        ORV_THROW(ORV_MM_SHM_CONNECT_FAIL, attributes.name, OrvException::to_string(shmId),
                  errorNumber(error), errorText(error));
    }
    attributes.ptr = segment;
    address = static_cast<char*>(segment) + DATA_OFFSET;
}

void* OrvMemoryManager::attachedData(MemorySet set) const {
    ORV_TRACE(Support);
    const MemorySetAttributes& attributes = getSetProperties(set);
    return attributes.ptr == nullptr ? nullptr : static_cast<char*>(attributes.ptr) + DATA_OFFSET;
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
