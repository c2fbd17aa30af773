#include "file/OrvFileManager.h"

#include "support/OrvDatabasePath.h"

#include "OrvError.h"
#include "support/OrvIo.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

OrvFileManager* OrvFileManager::instance = nullptr;

// Page offsets are computed as off_t; the end of the largest possible file
// must fit, so that no page number can wrap an offset.
static_assert(sizeof(off_t) >= 8, "segment files need 64-bit file offsets");
static_assert((static_cast<Uint64>(ORV_INVALID_PAGE_ID) + 1) * ORV_PAGE_SIZE <=
                  static_cast<Uint64>(ORV_MAX_SINT64),
              "the end of the last page must be a valid file offset");

namespace {

OrvErrorCode fail(OrvErrorCode code, const char* token1 = nullptr, const char* token2 = nullptr,
                  const char* token3 = nullptr) {
    OrvError::getErrorObject()->setError(FileManager, code, token1, token2, token3);
    return code;
}

std::string number(Uint64 value) {
    return std::to_string(value);
}

// The longest part of a rejected directory that goes into the message: the
// whole text would never fit the message, leaving only "Internal message
// failure", so the reader gets its beginning instead.
constexpr std::size_t SHOWN_DIRECTORY_LENGTH = 200;

constexpr mode_t SEGMENT_FILE_MODE = 0660;

// Zero pages written in one call when a write fills a gap in the file.
constexpr Uint32 ZERO_CHUNK_PAGES = 16;
const char zeroPages[ZERO_CHUNK_PAGES * ORV_PAGE_SIZE] = {};

off_t pageOffset(PageId page) {
    return static_cast<off_t>(page) * ORV_PAGE_SIZE;
}

} // namespace

OrvFileManager* OrvFileManager::getInstance() {
    ORV_TRACE(FileManager);
    if (instance == nullptr) {
        instance = new OrvFileManager();
    }
    return instance;
}

void OrvFileManager::deleteInstance() {
    ORV_TRACE(FileManager);
    delete instance;
    instance = nullptr;
}

OrvFileManager::OrvFileManager() : fileName{}, segmentOffset(0) {
    ORV_TRACE(FileManager);
    static_assert(MAX_DIRECTORY_LENGTH + sizeof("/Seg65535.orv") <= FILE_NAME_SIZE,
                  "the longest file name must fit into fileName");
}

OrvFileManager::~OrvFileManager() {
    // No trace scope: making one may allocate, and this must not throw.
    // Nothing can be reported from here: a failing close still releases the
    // descriptor, and every page was already in the file when write returned.
    for (const FileSegment& entry : openFiles) {
        (void)OrvIo::close(entry.handle);
    }
    openFiles.clear();
    if (instance == this) {
        instance = nullptr;
    }
}

OrvFileManager::Existence OrvFileManager::exists(const char* path) const {
    ORV_TRACE(FileManager);
    // Asked of the file system itself: a file that exists but cannot be read
    // still exists, and must neither be created anew nor reported missing.
    struct stat status;
    int result = OrvIo::stat(path, &status);
    if (result == 0) {
        return Existence::Yes;
    }
    if (result == -ENOENT || result == -ENOTDIR) {
        return Existence::No;
    }
    // Unknown (no search permission, I/O error, ...): the operation itself
    // will fail and report its own code.
    return Existence::Unknown;
}

const char* OrvFileManager::getFileName(SegmentId segment) {
    ORV_TRACE(FileManager);
    if (segmentOffset == 0) {
        const char* directory = orvDatabasePath();
        std::memset(fileName, 0, sizeof(fileName));
        std::size_t length = std::strlen(directory);
        if (length > MAX_DIRECTORY_LENGTH) {
            std::string shown(directory, SHOWN_DIRECTORY_LENGTH);
            shown += "...";
            fail(ORV_FM_PATH_TOO_LONG, shown.c_str(), number(MAX_DIRECTORY_LENGTH).c_str());
            return nullptr;
        }
        int written = std::snprintf(fileName, sizeof(fileName), "%s/Seg", directory);
        segmentOffset = static_cast<Uint32>(written);
        if (directory[length - 1] == '/') {
            // "dir/" + "/Seg": drop the second slash.
            std::memmove(fileName + length, fileName + length + 1, segmentOffset - length);
            --segmentOffset;
        }
    }
    std::snprintf(fileName + segmentOffset, sizeof(fileName) - segmentOffset, "%u.orv",
                  static_cast<unsigned>(segment));
    return fileName;
}

bool OrvFileManager::findFileInList(SegmentId segment) const {
    ORV_TRACE(FileManager);
    return openFiles.find(segment) != openFiles.end();
}

OrvErrorCode OrvFileManager::prepareTransfer(SegmentId segment, PageId page, const void* buffer,
                                             OrvErrorCode failCode, int& handle, off_t& size) {
    ORV_TRACE(FileManager);
    // ORV_INVALID_PAGE_ID names no page; asking for it is a caller's error.
    if (buffer == nullptr || page == ORV_INVALID_PAGE_ID) {
        return fail(ORV_PARAMETER_FAIL);
    }
    auto entry = openFiles.find(segment);
    if (entry == openFiles.end()) {
        return fail(ORV_FM_FILE_NOT_OPEN, number(segment).c_str());
    }
    handle = entry->handle;
    // The end of the file by lseek rather than fstat: on ext4 an fstat after
    // a write costs more than the page write itself, lseek a fraction. The
    // descriptor's position is of no use otherwise (all I/O is pread/pwrite).
    size = OrvIo::lseek(handle, 0, SEEK_END);
    if (size < 0) {
        return fail(failCode, number(segment).c_str());
    }
    if (size % ORV_PAGE_SIZE != 0) {
        return fail(ORV_FM_FILE_INVALID_SIZE, number(segment).c_str(),
                    number(static_cast<Uint64>(size)).c_str(), number(ORV_PAGE_SIZE).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::create(SegmentId segment) {
    ORV_TRACE(FileManager);
    if (findFileInList(segment)) {
        return fail(ORV_FM_FILE_ALREADY_EXISTS, number(segment).c_str());
    }
    const char* name = getFileName(segment);
    if (name == nullptr) {
        return OrvGetErrorCode();
    }
    if (exists(name) == Existence::Yes) {
        return fail(ORV_FM_FILE_ALREADY_EXISTS, number(segment).c_str());
    }
    // Exclusive: a file made by another process since the test above is
    // reported, never emptied.
    // Owner and group only, as the shared memory sets: the files hold every
    // table, and other users of the machine have no business reading them.
    int handle = OrvIo::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, SEGMENT_FILE_MODE);
    if (handle == -EEXIST) {
        return fail(ORV_FM_FILE_ALREADY_EXISTS, number(segment).c_str());
    }
    if (handle < 0) {
        return fail(ORV_FM_FILE_CREATE_FAIL, number(segment).c_str());
    }
    if (OrvIo::close(handle) != 0) {
        // Leave nothing behind that a retry would take for an existing segment.
        (void)OrvIo::unlink(name);
        return fail(ORV_FM_FILE_CREATE_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::drop(SegmentId segment) {
    ORV_TRACE(FileManager);
    if (findFileInList(segment)) {
        return fail(ORV_FM_FILE_STILL_OPEN, number(segment).c_str());
    }
    const char* name = getFileName(segment);
    if (name == nullptr) {
        return OrvGetErrorCode();
    }
    if (exists(name) == Existence::No) {
        return fail(ORV_FM_FILE_NOT_FOUND, number(segment).c_str());
    }
    int result = OrvIo::unlink(name);
    if (result == -ENOENT) {
        return fail(ORV_FM_FILE_NOT_FOUND, number(segment).c_str());
    }
    if (result != 0) {
        return fail(ORV_FM_FILE_DROP_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::open(SegmentId segment) {
    ORV_TRACE(FileManager);
    const char* name = getFileName(segment);
    if (name == nullptr) {
        return OrvGetErrorCode();
    }
    if (exists(name) == Existence::No) {
        return fail(ORV_FM_FILE_NOT_FOUND, number(segment).c_str());
    }
    if (findFileInList(segment)) {
        return ORV_SUCCESS;
    }
    int handle = OrvIo::open(name, O_RDWR | O_CLOEXEC);
    if (handle == -ENOENT) {
        return fail(ORV_FM_FILE_NOT_FOUND, number(segment).c_str());
    }
    if (handle < 0) {
        return fail(ORV_FM_FILE_OPEN_FAIL, number(segment).c_str());
    }
    // A directory, pipe or device under a segment's name is not a segment.
    struct stat status;
    if (OrvIo::fstat(handle, &status) != 0 || !S_ISREG(status.st_mode)) {
        (void)OrvIo::close(handle);
        return fail(ORV_FM_FILE_OPEN_FAIL, number(segment).c_str());
    }
    try {
        openFiles.insert(FileSegment{segment, handle});
    } catch (const std::bad_alloc&) {
        (void)OrvIo::close(handle);
        return fail(ORV_FM_FILE_OPEN_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::close(SegmentId segment) {
    ORV_TRACE(FileManager);
    auto entry = openFiles.find(segment);
    if (entry == openFiles.end()) {
        return ORV_SUCCESS;
    }
    int result = OrvIo::close(entry->handle);
    openFiles.erase(entry);
    if (result != 0) {
        return fail(ORV_FM_FILE_CLOSE_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::read(SegmentId segment, PageId page, void* buffer) {
    ORV_TRACE(FileManager);
    int handle = -1;
    off_t size = 0;
    OrvErrorCode rc = prepareTransfer(segment, page, buffer, ORV_FM_FILE_READ_FAIL, handle, size);
    if (rc != ORV_SUCCESS) {
        return rc;
    }
    off_t offset = pageOffset(page);
    if (size < offset + static_cast<off_t>(ORV_PAGE_SIZE)) {
        return fail(ORV_FM_PAGE_NOT_EXISTS, number(page).c_str(), number(segment).c_str(),
                    number(static_cast<Uint64>(size / ORV_PAGE_SIZE)).c_str());
    }
    // A short read means the file shrank under us: as much a failure as EIO.
    if (OrvIo::preadAll(handle, buffer, ORV_PAGE_SIZE, offset) !=
        static_cast<ssize_t>(ORV_PAGE_SIZE)) {
        return fail(ORV_FM_FILE_READ_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}

OrvErrorCode OrvFileManager::write(SegmentId segment, PageId page, const void* buffer) {
    ORV_TRACE(FileManager);
    int handle = -1;
    off_t size = 0;
    OrvErrorCode rc = prepareTransfer(segment, page, buffer, ORV_FM_FILE_WRITE_FAIL, handle, size);
    if (rc != ORV_SUCCESS) {
        return rc;
    }
    off_t offset = pageOffset(page);
    bool extends = offset >= size;
    // Zero pages up to the written one. Written, not left as a hole, so that
    // a full disk shows now and not when a later write fills the hole.
    for (off_t gap = size; gap < offset;) {
        std::size_t length = static_cast<std::size_t>(
            std::min<off_t>(offset - gap, static_cast<off_t>(sizeof(zeroPages))));
        if (OrvIo::pwriteAll(handle, zeroPages, length, gap) < 0) {
            // Back to the old size: a part of a page would leave a file that
            // no later read or write accepts.
            (void)OrvIo::ftruncate(handle, size);
            return fail(ORV_FM_FILE_WRITE_FAIL, number(segment).c_str());
        }
        gap += static_cast<off_t>(length);
    }
    if (OrvIo::pwriteAll(handle, buffer, ORV_PAGE_SIZE, offset) < 0) {
        // An appended page is taken back whole; an overwritten page may be
        // torn, which the log repairs.
        if (extends) {
            (void)OrvIo::ftruncate(handle, size);
        }
        return fail(ORV_FM_FILE_WRITE_FAIL, number(segment).c_str());
    }
    return ORV_SUCCESS;
}
