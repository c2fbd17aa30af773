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
// Segment layout (segment size = set size + 49):
//
//   offset          size   contents
//   0               17     marker "deadbeefDEADBEEF" with its terminating zero
//   17              15     zero padding
//   32              size   the set's data (zero when created); attach returns
//                          the address of this byte (DATA_OFFSET)
//   32 + size       17     the marker again
//
// The data does not follow the first marker directly, at offset 17: every set
// keeps an OrvLatch (a Sint32) and then structures with 4- and 8-byte fields
// at the start of its data, and at an odd address each access to them is
// undefined behaviour (the UndefinedBehaviorSanitizer build stops at the first
// latch call). The data therefore starts at the next multiple of the largest
// fundamental alignment; the markers are unchanged.
//
// The markers are written on creation and never checked here.
//
// Every operation throws OrvException on failure (the tokens are named at each operation).
#ifndef ORV_MEMORY_MANAGER_H
#define ORV_MEMORY_MANAGER_H

#include "OrvTypes.h"

#include <cstddef>

class OrvMemoryManager {
public:
    // The value is also the project number of the set's key.
    enum MemorySet : int { BufferPool = 0, LockList = 1, LogFileHandling = 2 };

    static constexpr int NUMBER_OF_SETS = 3;
    static constexpr std::size_t MARKER_SIZE = 17;
    static constexpr char MARKER[MARKER_SIZE] = "deadbeefDEADBEEF";
    static_assert(sizeof(MARKER) == 17, "the marker is 16 characters and a zero");
    // Offset of the data from the segment start (see the layout above).
    static constexpr std::size_t DATA_OFFSET = 32;
    static_assert(DATA_OFFSET >= MARKER_SIZE && DATA_OFFSET % alignof(std::max_align_t) == 0,
                  "the data follows the marker, aligned for any type");
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

    // The instance of the process, made on first use and never deleted.
    static OrvMemoryManager* getMemoryManager();

    // Creates the segment exclusively and writes its markers; the process is
    // not attached afterwards. Throws ORV_MM_SHM_CREATE_FAIL when the directory
    // cannot be resolved (also a resolved path longer than 1023 characters,
    // reported with ENAMETOOLONG) or the set exists already.
    void createMemorySet(MemorySet set);

    // Marks the segment for removal; it disappears when the last process has
    // detached. Throws ORV_MM_SHM_GETID_FAIL when it does not exist,
    // ORV_MM_SHM_DESTROY_WARN when the removal fails. This process forgets the
    // segment id, so a later attach finds a set re-created meanwhile.
    void destroyMemorySet(MemorySet set);

    // Attaches the calling process read-write and sets address to the first
    // data byte (segment start + DATA_OFFSET). The address is valid until
    // disconnectFromMemorySet. Throws ORV_MM_SHM_ALREADY_ATTACHED when this
    // process is attached already, ORV_MM_SHM_NOT_EXISTS when the set cannot be
    // found, ORV_MM_SHM_CONNECT_FAIL when the attach fails.
    void connectToMemorySet(MemorySet set, void*& address);

    // Detaches the calling process. Throws ORV_MM_SHM_NOT_ATTACHED when it is
    // not attached, ORV_MM_SHM_DISCONNECT_FAIL when the detach fails.
    void disconnectFromMemorySet(MemorySet set);

    // Usable size of the set's data in bytes (the bytes from the address that
    // connectToMemorySet returns). Throws ORV_INTERNAL_FAIL for an unknown set.
    std::size_t getSetSize(MemorySet set) const;

    OrvMemoryManager(const OrvMemoryManager&) = delete;
    OrvMemoryManager& operator=(const OrvMemoryManager&) = delete;

private:
    OrvMemoryManager() = default;

    // Finds (or, with create, exclusively creates) the segment of the set,
    // stores its id in the set's record and returns it.
    int getShmId(MemorySet set, bool create);

    // The record of the set in the process's table (the table itself is not
    // part of the object, which holds no data). Throws ORV_INTERNAL_FAIL for a
    // value that names no set.
    MemorySetAttributes& getSetProperties(MemorySet set) const;
};

#endif
