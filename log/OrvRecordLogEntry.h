// A log entry of the record manager: a change of one record, with its
// before and after images and the tuple ids it touches.
//
// Log record format (fields separated by ';', no blanks; the entry ends with
// ';'):
//
//   field                      text
//   kind                       "R"
//   LSN                        "<file>,<offset>"
//   previous LSN               "<file>,<offset>" ("0,0" for the first entry
//                              of a transaction in a process)
//   transaction id             "<pid>,<count>"
//   primary tuple id           "<page>,<slot>" or empty when absent
//   old secondary tuple id     likewise
//   new secondary tuple id     likewise
//   segment id                 decimal
//   before-image length        decimal, 0 or more
//   before image               exactly that many raw bytes (any byte, ';' and
//                              line breaks included)
//   after-image length         decimal, 0 or more
//   after image                exactly that many raw bytes
//   kind of change             decimal transType value
//
// Its length is the sum of the field lengths plus 14 ("R" and 13 ';').
// Example: the ROLLBACK of transaction 4711,3 at LSN 1,120 after an entry at
// 1,60 is the 33 bytes R;1,120;1,60;4711,3;;;;0;0;;0;;2;
//
// Ownership: the entry owns copies of the tuple ids and of both images (each
// in an array one byte longer than the image, the extra byte 0); pointers
// the getters return stay valid until the entry is refilled or destroyed.
#ifndef ORV_RECORD_LOG_ENTRY_H
#define ORV_RECORD_LOG_ENTRY_H

#include "log/OrvAbstractLogEntry.h"

#include <optional>

class OrvRecordLogEntry : public OrvAbstractLogEntry {
public:
    // An empty entry: the process's transaction (pid, 0), kind 0, segment 0,
    // no tuple ids, empty images. Readers refill it with writeVariables.
    OrvRecordLogEntry();
    // Copies everything (writeVariables). An image may be null when its
    // length is 0; every kind value and any absent tuple id are accepted.
    // Throws ORV_LOGM_RECORD_INIT_FAILED for a negative length, a null image
    // of positive length, or when the copies cannot be allocated.
    OrvRecordLogEntry(const OrvTransactionId& transactionId, SegmentId segmentId,
                      const char* beforeImage, int befImgLength, const char* afterImage,
                      int aftImgLength, int type, const TupleId* primaryTid,
                      const TupleId* oldSecondaryTid, const TupleId* newSecondaryTid);
    // Copies every field, the LSN and previous LSN included.
    OrvRecordLogEntry(const OrvRecordLogEntry& other);
    OrvRecordLogEntry& operator=(const OrvRecordLogEntry& other);
    // Takes the fields over; the source may then only be assigned or destroyed.
    OrvRecordLogEntry(OrvRecordLogEntry&& other) noexcept = default;
    OrvRecordLogEntry& operator=(OrvRecordLogEntry&& other) noexcept = default;
    ~OrvRecordLogEntry() override;

    // (Re)fills the entry as the filling constructor does; the LSNs stay,
    // the length becomes 0. On failure the entry is unchanged.
    void writeVariables(const OrvTransactionId& transactionId, SegmentId segmentId,
                        const char* beforeImage, int befImgLength, const char* afterImage,
                        int aftImgLength, int type, const TupleId* primaryTid,
                        const TupleId* oldSecondaryTid, const TupleId* newSecondaryTid);

    void serializeTo(std::string& out) override;

    // Null when absent.
    const TupleId* getPrimTupelID() const;
    const TupleId* getOldSecTID() const;
    const TupleId* getNewSecTID() const;
    SegmentId getSegmentID() const;
    // Never null; followed by a 0 byte.
    char* getBeforeImage();
    const char* getBeforeImage() const;
    int getBefImgLength() const;
    char* getAfterImage();
    const char* getAfterImage() const;
    int getAftImgLength() const;

private:
    std::optional<TupleId> primTupelID;
    std::optional<TupleId> oldSecTID;
    std::optional<TupleId> newSecTID;
    SegmentId segmentID;
    std::unique_ptr<char[]> beforeImage;
    int befImgLength;
    std::unique_ptr<char[]> afterImage;
    int aftImgLength;
    // Text forms of the fields, made once by writeVariables. The images are
    // written from their arrays; a text copy of them would only double them.
    std::string sTid;
    std::string sPrimTup;
    std::string sOldTup;
    std::string sNewTup;
    std::string sSegmId;
    std::string sBefImgLength;
    std::string sAftImgLength;
    std::string sTT;
};

#endif
