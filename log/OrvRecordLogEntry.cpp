#include "log/OrvRecordLogEntry.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

#include <new>

namespace {

std::optional<TupleId> optionalTid(const TupleId* tid) {
    return tid != nullptr ? std::optional<TupleId>(*tid) : std::nullopt;
}

const TupleId* pointerTo(const std::optional<TupleId>& tid) {
    return tid ? &*tid : nullptr;
}

} // namespace

OrvRecordLogEntry::OrvRecordLogEntry()
    : OrvAbstractLogEntry(), segmentID(0), befImgLength(0), aftImgLength(0) {
    ORV_TRACE(LogManager);
    writeVariables(transactionID, 0, nullptr, 0, nullptr, 0, 0, nullptr, nullptr, nullptr);
}

OrvRecordLogEntry::OrvRecordLogEntry(const OrvTransactionId& transactionId, SegmentId segmentId,
                                     const char* beforeImage, int befImgLength,
                                     const char* afterImage, int aftImgLength, int type,
                                     const TupleId* primaryTid, const TupleId* oldSecondaryTid,
                                     const TupleId* newSecondaryTid)
    : OrvAbstractLogEntry(), segmentID(0), befImgLength(0), aftImgLength(0) {
    ORV_TRACE(LogManager);
    writeVariables(transactionId, segmentId, beforeImage, befImgLength, afterImage, aftImgLength,
                   type, primaryTid, oldSecondaryTid, newSecondaryTid);
}

OrvRecordLogEntry::OrvRecordLogEntry(const OrvRecordLogEntry& other)
    : OrvAbstractLogEntry(other), segmentID(0), befImgLength(0), aftImgLength(0) {
    ORV_TRACE(LogManager);
    writeVariables(other.transactionID, other.segmentID, other.beforeImage.get(),
                   other.befImgLength, other.afterImage.get(), other.aftImgLength,
                   other.transactionType, other.getPrimTupelID(), other.getOldSecTID(),
                   other.getNewSecTID());
    length = other.length;
}

OrvRecordLogEntry& OrvRecordLogEntry::operator=(const OrvRecordLogEntry& other) {
    ORV_TRACE(LogManager);
    if (this != &other) {
        writeVariables(other.transactionID, other.segmentID, other.beforeImage.get(),
                       other.befImgLength, other.afterImage.get(), other.aftImgLength,
                       other.transactionType, other.getPrimTupelID(), other.getOldSecTID(),
                       other.getNewSecTID());
        length = other.length;
        sLsn = other.sLsn;
        sPrevLsn = other.sPrevLsn;
    }
    return *this;
}

OrvRecordLogEntry::~OrvRecordLogEntry() = default;

void OrvRecordLogEntry::writeVariables(const OrvTransactionId& transactionId, SegmentId segmentId,
                                       const char* newBeforeImage, int newBefImgLength,
                                       const char* newAfterImage, int newAftImgLength, int type,
                                       const TupleId* primaryTid, const TupleId* oldSecondaryTid,
                                       const TupleId* newSecondaryTid) {
    ORV_TRACE(LogManager);
    // Everything that can fail first, into locals, so a failure leaves the
    // entry as it was.
    std::unique_ptr<char[]> before =
        copyImage(newBeforeImage, newBefImgLength, ORV_LOGM_RECORD_INIT_FAILED);
    std::unique_ptr<char[]> after =
        copyImage(newAfterImage, newAftImgLength, ORV_LOGM_RECORD_INIT_FAILED);
    try {
        std::string tidText = transactionId.dump();
        std::string primText = tupleIdText(primaryTid);
        std::string oldText = tupleIdText(oldSecondaryTid);
        std::string newText = tupleIdText(newSecondaryTid);
        std::string segmentText = std::to_string(segmentId);
        std::string beforeLengthText = std::to_string(newBefImgLength);
        std::string afterLengthText = std::to_string(newAftImgLength);
        std::string typeText = std::to_string(type);

        transactionID = transactionId;
        transactionType = type;
        length = 0;
        primTupelID = optionalTid(primaryTid);
        oldSecTID = optionalTid(oldSecondaryTid);
        newSecTID = optionalTid(newSecondaryTid);
        segmentID = segmentId;
        beforeImage = std::move(before);
        befImgLength = newBefImgLength;
        afterImage = std::move(after);
        aftImgLength = newAftImgLength;
        sTid.swap(tidText);
        sPrimTup.swap(primText);
        sOldTup.swap(oldText);
        sNewTup.swap(newText);
        sSegmId.swap(segmentText);
        sBefImgLength.swap(beforeLengthText);
        sAftImgLength.swap(afterLengthText);
        sTT.swap(typeText);
    } catch (const std::bad_alloc&) {
        ORV_THROW(ORV_LOGM_RECORD_INIT_FAILED);
    }
}

void OrvRecordLogEntry::serializeTo(std::string& out) {
    ORV_TRACE(LogManager);
    serializeFields(
        out, 'R',
        {sLsn, sPrevLsn, sTid, sPrimTup, sOldTup, sNewTup, sSegmId, sBefImgLength,
         std::string_view(beforeImage.get(), static_cast<std::size_t>(befImgLength)), sAftImgLength,
         std::string_view(afterImage.get(), static_cast<std::size_t>(aftImgLength)), sTT});
}

const TupleId* OrvRecordLogEntry::getPrimTupelID() const {
    ORV_TRACE(LogManager);
    return pointerTo(primTupelID);
}

const TupleId* OrvRecordLogEntry::getOldSecTID() const {
    ORV_TRACE(LogManager);
    return pointerTo(oldSecTID);
}

const TupleId* OrvRecordLogEntry::getNewSecTID() const {
    ORV_TRACE(LogManager);
    return pointerTo(newSecTID);
}

SegmentId OrvRecordLogEntry::getSegmentID() const {
    ORV_TRACE(LogManager);
    return segmentID;
}

char* OrvRecordLogEntry::getBeforeImage() {
    ORV_TRACE(LogManager);
    return beforeImage.get();
}

const char* OrvRecordLogEntry::getBeforeImage() const {
    ORV_TRACE(LogManager);
    return beforeImage.get();
}

int OrvRecordLogEntry::getBefImgLength() const {
    ORV_TRACE(LogManager);
    return befImgLength;
}

char* OrvRecordLogEntry::getAfterImage() {
    ORV_TRACE(LogManager);
    return afterImage.get();
}

const char* OrvRecordLogEntry::getAfterImage() const {
    ORV_TRACE(LogManager);
    return afterImage.get();
}

int OrvRecordLogEntry::getAftImgLength() const {
    ORV_TRACE(LogManager);
    return aftImgLength;
}
