#include "log/OrvIndexLogEntry.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The image cut or zero-filled to newLength bytes (plus the trailing 0).
std::unique_ptr<char[]> resized(const char* image, int oldLength, int newLength) {
    if (newLength < 0) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    std::size_t size = static_cast<std::size_t>(newLength);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size + 1]());
    if (!copy) {
        ORV_THROW(ORV_PARAMETER_FAIL);
    }
    std::memcpy(copy.get(), image, static_cast<std::size_t>(std::min(oldLength, newLength)));
    return copy;
}

} // namespace

OrvIndexLogEntry::OrvIndexLogEntry() : OrvAbstractLogEntry(), segmentID(0), bpl(0), apl(0) {
    ORV_TRACE(LogManager);
    writeVariables(transactionID, nullptr, 0, nullptr, 0, nullptr, 0, 0);
}

OrvIndexLogEntry::OrvIndexLogEntry(const OrvTransactionId& transactionId, const PageId* pageId,
                                   SegmentId segmentId, const char* beforePageImage,
                                   int beforeLength, const char* afterPageImage, int afterLength,
                                   int type)
    : OrvAbstractLogEntry(), segmentID(0), bpl(0), apl(0) {
    ORV_TRACE(LogManager);
    writeVariables(transactionId, pageId, segmentId, beforePageImage, beforeLength, afterPageImage,
                   afterLength, type);
}

OrvIndexLogEntry::OrvIndexLogEntry(const OrvIndexLogEntry* other)
    : OrvAbstractLogEntry(), segmentID(0), bpl(0), apl(0) {
    ORV_TRACE(LogManager);
    if (other == nullptr) {
        ORV_THROW(ORV_LOGM_INDEX_INIT_FAILED);
    }
    *this = *other;
}

OrvIndexLogEntry::OrvIndexLogEntry(const OrvIndexLogEntry& other)
    : OrvAbstractLogEntry(other), segmentID(0), bpl(0), apl(0) {
    ORV_TRACE(LogManager);
    writeVariables(other.transactionID, other.getPageID(), other.segmentID, other.beforePage.get(),
                   other.bpl, other.afterPage.get(), other.apl, other.transactionType);
    length = other.length;
}

OrvIndexLogEntry& OrvIndexLogEntry::operator=(const OrvIndexLogEntry& other) {
    ORV_TRACE(LogManager);
    if (this != &other) {
        writeVariables(other.transactionID, other.getPageID(), other.segmentID,
                       other.beforePage.get(), other.bpl, other.afterPage.get(), other.apl,
                       other.transactionType);
        length = other.length;
        sLsn = other.sLsn;
        sPrevLsn = other.sPrevLsn;
    }
    return *this;
}

OrvIndexLogEntry::~OrvIndexLogEntry() = default;

void OrvIndexLogEntry::writeVariables(const OrvTransactionId& transactionId, const PageId* pageId,
                                      SegmentId segmentId, const char* beforePageImage,
                                      int beforeLength, const char* afterPageImage, int afterLength,
                                      int type) {
    ORV_TRACE(LogManager);
    // Everything that can fail first, into locals, so a failure leaves the
    // entry as it was.
    std::unique_ptr<char[]> before =
        copyImage(beforePageImage, beforeLength, ORV_LOGM_INDEX_INIT_FAILED);
    std::unique_ptr<char[]> after =
        copyImage(afterPageImage, afterLength, ORV_LOGM_INDEX_INIT_FAILED);
    try {
        std::string tidText = transactionId.dump();
        std::string pageText = pageId != nullptr ? std::to_string(*pageId) : std::string();
        std::string segmentText = std::to_string(segmentId);
        std::string beforeLengthText = std::to_string(beforeLength);
        std::string afterLengthText = std::to_string(afterLength);
        std::string typeText = std::to_string(type);

        transactionID = transactionId;
        transactionType = type;
        length = 0;
        pageID = pageId != nullptr ? std::optional<PageId>(*pageId) : std::nullopt;
        segmentID = segmentId;
        beforePage = std::move(before);
        bpl = beforeLength;
        afterPage = std::move(after);
        apl = afterLength;
        sTid.swap(tidText);
        spageID.swap(pageText);
        sSegmId.swap(segmentText);
        sBefImgLength.swap(beforeLengthText);
        sAftImgLength.swap(afterLengthText);
        sTT.swap(typeText);
    } catch (const std::bad_alloc&) {
        ORV_THROW(ORV_LOGM_INDEX_INIT_FAILED);
    }
}

void OrvIndexLogEntry::serializeTo(std::string& out) {
    ORV_TRACE(LogManager);
    serializeFields(out, 'I',
                    {sLsn, sPrevLsn, sTid, spageID, sSegmId, sBefImgLength,
                     std::string_view(beforePage.get(), static_cast<std::size_t>(bpl)),
                     sAftImgLength,
                     std::string_view(afterPage.get(), static_cast<std::size_t>(apl)), sTT});
}

const PageId* OrvIndexLogEntry::getPageID() const {
    ORV_TRACE(LogManager);
    return pageID ? &*pageID : nullptr;
}

SegmentId OrvIndexLogEntry::getSegmentID() const {
    ORV_TRACE(LogManager);
    return segmentID;
}

char* OrvIndexLogEntry::getBeforePage() {
    ORV_TRACE(LogManager);
    return beforePage.get();
}

const char* OrvIndexLogEntry::getBeforePage() const {
    ORV_TRACE(LogManager);
    return beforePage.get();
}

int OrvIndexLogEntry::getBpl() const {
    ORV_TRACE(LogManager);
    return bpl;
}

char* OrvIndexLogEntry::getAfterPage() {
    ORV_TRACE(LogManager);
    return afterPage.get();
}

const char* OrvIndexLogEntry::getAfterPage() const {
    ORV_TRACE(LogManager);
    return afterPage.get();
}

int OrvIndexLogEntry::getApl() const {
    ORV_TRACE(LogManager);
    return apl;
}

void OrvIndexLogEntry::setBpl(int newLength) {
    ORV_TRACE(LogManager);
    std::unique_ptr<char[]> image = resized(beforePage.get(), bpl, newLength);
    std::string text = std::to_string(newLength);
    beforePage = std::move(image);
    bpl = newLength;
    sBefImgLength.swap(text);
    length = 0;
}

void OrvIndexLogEntry::setApl(int newLength) {
    ORV_TRACE(LogManager);
    std::unique_ptr<char[]> image = resized(afterPage.get(), apl, newLength);
    std::string text = std::to_string(newLength);
    afterPage = std::move(image);
    apl = newLength;
    sAftImgLength.swap(text);
    length = 0;
}

void OrvIndexLogEntry::setAfterPage(const char* page) {
    ORV_TRACE(LogManager);
    afterPage = copyImage(page, apl, ORV_PARAMETER_FAIL);
    length = 0;
}
