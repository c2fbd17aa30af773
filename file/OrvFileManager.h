// OrvFileManager: the segment files of the database, page by page.
//
// Every segment is one file in the database directory (ORV_DATABASE_PATH,
// default "."), named "<dir>/Seg<segment>.orv", holding pages of
// ORV_PAGE_SIZE bytes: page n is bytes n*4096 to n*4096+4095. The manager
// creates, drops, opens and closes these files and reads and writes whole
// pages; it knows nothing of page contents. Its only user is the buffer
// manager.
//
// Process safety: one manager per process, used by one thread. Several
// processes may have one segment open at the same time; the buffer pool latch
// orders their page writes. Every write goes straight to the file with
// pwrite (no buffering in this process), so a page is visible to every other
// process as soon as write() returns; nothing is synchronised with the
// storage device.
//
// Errors: every operation returns ORV_SUCCESS or the code it recorded in the
// error object (component FileManager). A failing operation leaves the set
// of open segments as it was, except close, which forgets the segment even
// when closing failed. All system calls go through OrvIo, where tests inject
// faults.
#ifndef ORV_FILE_MANAGER_H
#define ORV_FILE_MANAGER_H

#include "OrvConfig.h"
#include "OrvErrorCodes.h"
#include "OrvTypes.h"

#include <set>
#include <sys/types.h>

class OrvFileManager {
public:
    // The process's manager, made on first use.
    static OrvFileManager* getInstance();
    // Deletes the manager (closing every open segment) if there is one; the
    // next getInstance() makes a fresh one, which reads ORV_DATABASE_PATH anew.
    static void deleteInstance();

    OrvFileManager(const OrvFileManager&) = delete;
    OrvFileManager& operator=(const OrvFileManager&) = delete;

    // Creates the empty file of the segment, exclusively: an existing file is
    // never emptied (ORV_FM_FILE_ALREADY_EXISTS). Does not open it.
    [[nodiscard]] OrvErrorCode create(SegmentId segment);
    // Deletes the file. ORV_FM_FILE_STILL_OPEN while this process has it open.
    [[nodiscard]] OrvErrorCode drop(SegmentId segment);
    // Opens the file for reading and writing. Opening an open segment
    // succeeds and keeps the one descriptor.
    [[nodiscard]] OrvErrorCode open(SegmentId segment);
    // Closes the file; closing a segment that is not open succeeds.
    [[nodiscard]] OrvErrorCode close(SegmentId segment);
    // Reads page `page` into buffer (ORV_PAGE_SIZE bytes, owned by the caller).
    [[nodiscard]] OrvErrorCode read(SegmentId segment, PageId page, void* buffer);
    // Writes ORV_PAGE_SIZE bytes of buffer as page `page`. A page beyond the
    // end of the file is appended after zero pages that fill the gap; when
    // that fails the file keeps its old size.
    [[nodiscard]] OrvErrorCode write(SegmentId segment, PageId page, const void* buffer);

private:
    // An open segment and its file descriptor, owned by the set entry.
    struct FileSegment {
        SegmentId segmentId;
        int handle;
    };
    // Orders by segment number; also compares with a bare SegmentId so the
    // set can be searched without building an entry.
    struct FileSegmentCompare {
        using is_transparent = void;
        bool operator()(const FileSegment& a, const FileSegment& b) const {
            return a.segmentId < b.segmentId;
        }
        bool operator()(const FileSegment& a, SegmentId b) const { return a.segmentId < b; }
        bool operator()(SegmentId a, const FileSegment& b) const { return a < b.segmentId; }
    };

    // The longest database directory that fits into fileName with "/Seg",
    // the largest segment number and ".orv".
    static constexpr Uint32 MAX_DIRECTORY_LENGTH = 978;
    static constexpr Uint32 FILE_NAME_SIZE = 1000;

    OrvFileManager();
    ~OrvFileManager();

    enum class Existence { Yes, No, Unknown };
    Existence exists(const char* path) const;
    // The file name of the segment in fileName, valid until the next call;
    // nullptr after recording ORV_FM_PATH_TOO_LONG.
    const char* getFileName(SegmentId segment);
    bool findFileInList(SegmentId segment) const;
    // What read and write check first: the arguments, that the segment is
    // open (its descriptor into handle) and the size of its file (into size).
    // Returns ORV_SUCCESS or the code it recorded: ORV_PARAMETER_FAIL,
    // ORV_FM_FILE_NOT_OPEN, failCode when the size cannot be had,
    // ORV_FM_FILE_INVALID_SIZE when it is not a whole number of pages.
    OrvErrorCode prepareTransfer(SegmentId segment, PageId page, const void* buffer,
                                 OrvErrorCode failCode, int& handle, off_t& size);

    std::set<FileSegment, FileSegmentCompare> openFiles;
    char fileName[FILE_NAME_SIZE];
    Uint32 segmentOffset;

    static OrvFileManager* instance;
};

#endif
