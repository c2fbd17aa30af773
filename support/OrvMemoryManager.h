// OrvMemoryManager: the three System V shared memory segments ("memory sets")
// that hold the engine state shared between processes.
//
// Process safety: the segments are system-wide and outlive every process; the
// table of set attributes kept here is private to the process, which is
// single-threaded. Creation is exclusive, so of two concurrent creators exactly
// one succeeds. The data of a set is guarded by the OrvLatch its user places at
// the start of the data, not by this class.
//
// A set is found by the key ftok(resolved database directory, set number); the
// directory is ORV_DATABASE_PATH, or "." when that is unset. Every process that
// names the same directory (through any path or symbolic link) reaches the
// same three sets.
//
// Segment layout (segment size = set size + SEGMENT_OVERHEAD = size + 1089):
//
//   offset          size   contents
//   0               17     marker "deadbeefDEADBEEF" with its terminating zero
//   17              7      zero padding
//   24              1048   SetIdentity: the database directory the set belongs to
//     24              8      device   (Uint64, st_dev of the directory)
//     32              8      inode    (Uint64, full st_ino of the directory)
//     40              4      magic    (Uint32, IDENTITY_MAGIC)
//     44              4      pathLength (Uint32, characters of path)
//     48              1024   path     (resolved directory, zero-terminated; only
//                                      for messages, never compared)
//   1072            size   the set's data (zero when created); attach returns
//                          the address of this byte (DATA_OFFSET)
//   1072 + size     17     the marker again
//
// The identity is needed because ftok keeps only 16 bits of the inode and 8
// of the device: two directories can map to one key, and a process of the
// second must not work in the first one's sets. Every lookup (attach, removal,
// and a creation that finds the key taken) compares device, inode and magic
// with the directory it was asked for and refuses a set that names another,
// naming both. It also refuses a set whose creator (shm_perm.cuid) is not the
// owner of the directory: such a set was planted by another user. Only the
// owner of the directory may create the sets.
//
// The data starts at a multiple of the largest fundamental alignment: every
// set keeps an OrvLatch (a Sint32) and then structures with 4- and 8-byte
// fields at the start of its data.
//
// The markers are written on creation and never checked here.
//
// Every operation throws OrvException on failure (the tokens are named at each operation).
#ifndef ORV_MEMORY_MANAGER_H
#define ORV_MEMORY_MANAGER_H

#include "OrvTypes.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

class OrvMemoryManager {
public:
    // The value is also the project number of the set's key.
    enum MemorySet : int { BufferPool = 0, LockList = 1, LogFileHandling = 2 };

    static constexpr int NUMBER_OF_SETS = 3;
    static constexpr std::size_t MARKER_SIZE = 17;
    static constexpr char MARKER[MARKER_SIZE] = "deadbeefDEADBEEF";
    static_assert(sizeof(MARKER) == 17, "the marker is 16 characters and a zero");

    // Which database directory a set belongs to (see the layout above).
    // Raised whenever the layout of a set's data changes, so that a process
    // never works in a set laid out by another build ("ORV2": process table).
    static constexpr Uint32 IDENTITY_MAGIC = 0x4F525632; // "ORV2"
    static constexpr std::size_t IDENTITY_PATH_CAPACITY = 1024;
    struct SetIdentity {
        Uint64 device;
        Uint64 inode;
        Uint32 magic;
        Uint32 pathLength;
        char path[IDENTITY_PATH_CAPACITY];
    };
    static constexpr std::size_t IDENTITY_OFFSET = 24;

    // Offset of the data from the segment start (see the layout above).
    static constexpr std::size_t DATA_OFFSET = IDENTITY_OFFSET + sizeof(SetIdentity);
    static_assert(IDENTITY_OFFSET >= MARKER_SIZE && IDENTITY_OFFSET % alignof(SetIdentity) == 0,
                  "the identity follows the marker, aligned");
    static_assert(DATA_OFFSET == 1072 && DATA_OFFSET % alignof(std::max_align_t) == 0,
                  "the data follows the identity, aligned for any type");
    // Bytes of a segment beyond the set's data: leading marker and padding,
    // trailing marker.
    static constexpr std::size_t SEGMENT_OVERHEAD = DATA_OFFSET + MARKER_SIZE;

    // One record per set in a table private to each process.
    struct MemorySetAttributes {
        MemorySet setId;
        const char* name;
        std::size_t size; // usable bytes of data
        Sint32 shmId;     // segment id last found by this process; -1 when unknown
        void* ptr;        // where this process has the segment attached; null if not
    };

    // The database directory as the keys see it: resolved, with the identity
    // that ftok folds into 24 bits kept whole.
    struct DatabaseDirectory {
        std::string path;
        Uint64 device;
        Uint64 inode;
        uid_t owner;
    };
    // Resolves ORV_DATABASE_PATH (see below for ORV_MM_DATABASE_PATH_INVALID).
    static DatabaseDirectory resolveDatabaseDirectory();

    // The instance of the process, made on first use and never deleted.
    static OrvMemoryManager* getMemoryManager();

    // Every operation that needs the key first resolves the database
    // directory; when it does not exist, is no directory, or its resolved name
    // is longer than 1023 characters, it throws ORV_MM_DATABASE_PATH_INVALID
    // (tokens: directory as given, reason). A set found under the key that
    // names another directory gives ORV_MM_SHM_FOREIGN_SET (set name, id, the
    // other directory, this directory), one created by another user than the
    // directory's owner ORV_MM_SHM_FOREIGN_OWNER (set name, id, creator uid,
    // directory, owner uid); neither is touched.

    // Creates the segment exclusively and writes its markers and the identity
    // of the database directory; the process is not attached afterwards.
    // Throws ORV_MM_NOT_DIRECTORY_OWNER when the calling user does not own the
    // directory, ORV_MM_SHM_CREATE_FAIL when the set exists already (or
    // shmget fails otherwise), the foreign-set errors above when the key is
    // taken by a set of another directory or user.
    void createMemorySet(MemorySet set);

    // Marks the segment for removal; it disappears when the last process has
    // detached. Throws ORV_MM_SHM_GETID_FAIL (ENOENT) when it does not exist,
    // ORV_MM_SHM_ACCESS_DENIED when this user may not see it, the foreign-set
    // errors, ORV_MM_SHM_DESTROY_WARN when the removal fails. This process
    // forgets the segment id, so a later attach finds a set re-created
    // meanwhile.
    void destroyMemorySet(MemorySet set);

    // Attaches the calling process read-write and sets address to the first
    // data byte (segment start + DATA_OFFSET). The address is valid until
    // disconnectFromMemorySet. Throws ORV_MM_SHM_ALREADY_ATTACHED when this
    // process is attached already, ORV_MM_SHM_NOT_EXISTS when no set has the
    // key, ORV_MM_SHM_ACCESS_DENIED when the permissions refuse this user, the
    // foreign-set errors, ORV_MM_SHM_CONNECT_FAIL when the attach fails.
    void connectToMemorySet(MemorySet set, void*& address);

    // Detaches the calling process. Throws ORV_MM_SHM_NOT_ATTACHED when it is
    // not attached, ORV_MM_SHM_DISCONNECT_FAIL when the detach fails.
    void disconnectFromMemorySet(MemorySet set);

    // The data address of the set when this process is attached to it, else
    // null. Throws ORV_INTERNAL_FAIL for an unknown set.
    void* attachedData(MemorySet set) const;

    // Usable size of the set's data in bytes (the bytes from the address that
    // connectToMemorySet returns). Throws ORV_INTERNAL_FAIL for an unknown set.
    std::size_t getSetSize(MemorySet set) const;

    OrvMemoryManager(const OrvMemoryManager&) = delete;
    OrvMemoryManager& operator=(const OrvMemoryManager&) = delete;

private:
    OrvMemoryManager() = default;

    // Finds the segment of the set by key and checks that it belongs to the
    // database directory (identity and creator); stores its id in the set's
    // record and returns it. Throws as described for connectToMemorySet.
    int findOwnSet(MemorySet set);

    // The record of the set in the process's table (the table itself is not
    // part of the object, which holds no data). Throws ORV_INTERNAL_FAIL for a
    // value that names no set.
    MemorySetAttributes& getSetProperties(MemorySet set) const;
};

static_assert(sizeof(OrvMemoryManager::SetIdentity) == 1048, "the identity is 1048 bytes");
static_assert(offsetof(OrvMemoryManager::SetIdentity, device) == 0 &&
                  offsetof(OrvMemoryManager::SetIdentity, inode) == 8 &&
                  offsetof(OrvMemoryManager::SetIdentity, magic) == 16 &&
                  offsetof(OrvMemoryManager::SetIdentity, pathLength) == 20 &&
                  offsetof(OrvMemoryManager::SetIdentity, path) == 24,
              "identity fields at segment offsets 24, 32, 40, 44 and 48");

#endif
