// A log entry of an index page: the page's whole before and after image.
//
// Log record format (fields separated by ';', no blanks; the entry ends with
// ';'):
//
//   field                 text
//   kind                  "I"
//   LSN                   "<file>,<offset>"
//   previous LSN          "<file>,<offset>"
//   transaction id        "<pid>,<count>"
//   page id               decimal, or empty when absent
//   segment id            decimal
//   before-image length   decimal, 0 or more
//   before image          exactly that many raw bytes
//   after-image length    decimal, 0 or more
//   after image           exactly that many raw bytes
//   kind of change        decimal transType value
//
// Its length is the sum of the field lengths plus 12 ("I" and 11 ';').
//
// Ownership: the entry owns a copy of the page id and of both images (each
// in an array one byte longer than the image, the extra byte 0); pointers
// the getters return stay valid until the entry is changed or destroyed.
#ifndef ORV_INDEX_LOG_ENTRY_H
#define ORV_INDEX_LOG_ENTRY_H

#include "log/OrvAbstractLogEntry.h"

#include <optional>

class OrvIndexLogEntry : public OrvAbstractLogEntry {
public:
    // An empty entry: the process's transaction (pid, 0), kind 0, segment 0,
    // no page id, empty images. Readers refill it with writeVariables.
    OrvIndexLogEntry();
    // Copies everything (writeVariables). An image may be null when its
    // length is 0; every kind value and an absent page id are accepted.
    // Throws ORV_LOGM_INDEX_INIT_FAILED for a negative length, a null image of
    // positive length, or when the copies cannot be allocated.
    OrvIndexLogEntry(const OrvTransactionId& transactionId, const PageId* pageId,
                     SegmentId segmentId, const char* beforePage, int bpl, const char* afterPage,
                     int apl, int type);
    // Copies every field, the LSN and previous LSN included. A null pointer
    // throws ORV_LOGM_INDEX_INIT_FAILED.
    explicit OrvIndexLogEntry(const OrvIndexLogEntry* other);
    OrvIndexLogEntry(const OrvIndexLogEntry& other);
    OrvIndexLogEntry& operator=(const OrvIndexLogEntry& other);
    // Takes the fields over; the source may then only be assigned or destroyed.
    OrvIndexLogEntry(OrvIndexLogEntry&& other) noexcept = default;
    OrvIndexLogEntry& operator=(OrvIndexLogEntry&& other) noexcept = default;
    ~OrvIndexLogEntry() override;

    // (Re)fills the entry as the filling constructor does; the LSNs stay,
    // the length becomes 0. On failure the entry is unchanged.
    void writeVariables(const OrvTransactionId& transactionId, const PageId* pageId,
                        SegmentId segmentId, const char* beforePage, int bpl, const char* afterPage,
                        int apl, int type);

    void serializeTo(std::string& out) override;

    // Null when absent.
    const PageId* getPageID() const;
    SegmentId getSegmentID() const;
    // Never null; followed by a 0 byte.
    char* getBeforePage();
    const char* getBeforePage() const;
    int getBpl() const;
    char* getAfterPage();
    const char* getAfterPage() const;
    int getApl() const;

    // Changes the length of an image. The image keeps its first bytes and is
    // cut or filled up with zero bytes, so the length never exceeds the bytes
    // the entry holds. A negative length throws ORV_PARAMETER_FAIL.
    void setBpl(int newLength);
    void setApl(int newLength);
    // Copies getApl() bytes from page as the after image. A null page with a
    // positive after-image length throws ORV_PARAMETER_FAIL.
    void setAfterPage(const char* page);

private:
    std::optional<PageId> pageID;
    SegmentId segmentID;
    std::unique_ptr<char[]> beforePage;
    int bpl;
    std::unique_ptr<char[]> afterPage;
    int apl;
    // Text forms of the fields; the images are written from their arrays.
    std::string sTid;
    std::string spageID;
    std::string sSegmId;
    std::string sBefImgLength;
    std::string sAftImgLength;
    std::string sTT;
};

#endif
