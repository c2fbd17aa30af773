// The common part of every log entry: the transaction, the kind of change,
// and the entry's own and its transaction's previous LSN.
//
// A log entry is serialised into one log record (see OrvRecordLogEntry.h and
// OrvIndexLogEntry.h for the two record formats). Every field but the images
// is written in text form, numbers in decimal without leading zeros, signs
// (except a negative process id) or blanks; each field is followed by one
// ';'. In a log file each record is followed by one line break (byte 10).
//
// Process safety: entries are per-process objects; the log manager copies
// their serialised form into the shared log files.
#ifndef ORV_ABSTRACT_LOG_ENTRY_H
#define ORV_ABSTRACT_LOG_ENTRY_H

#include "OrvErrorCodes.h"
#include "OrvLog.h"
#include "OrvLsn.h"
#include "OrvRecord.h"
#include "OrvTransaction.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

class OrvAbstractLogEntry {
public:
    virtual ~OrvAbstractLogEntry();

    // The serialised form in a newly allocated array of getLength() + 1 bytes,
    // the last one 0; the caller releases it with delete[]. Sets the length.
    // Throws ORV_LOGM_SERIALIZE_FAILED when the form would not fit an int or
    // cannot be allocated.
    virtual char* serialize();
    // Writes the length bytes of a fresh serialisation and a line break to
    // standard output.
    virtual void dump();
    // Replaces out with the serialised form and sets the length; the form the
    // log manager writes, without an array of its own. Throws as serialize().
    virtual void serializeTo(std::string& out) = 0;

    OrvTransactionId getTransactionID() const;
    int getTransactionType() const;
    // The length of the last serialised form; 0 until one was made.
    int getLength() const;
    void setLength(int newLength);

    // Stores the text form of the LSN.
    void setLsn(const OrvLsn& lsn);
    // The stored LSN; 0,0 while none was set.
    OrvLsn getLsn() const;
    void setPrevLsn(const OrvLsn& lsn);
    // Stores the text form of the LSN the text names. The text is checked, so
    // that a serialised entry never holds a field that would end the log for
    // its readers: a bad text throws ORV_LOGM_LSN_PARSING_FAILED.
    void setPrevLsn(const std::string& lsnText);
    // The stored previous LSN; 0,0 while none was set.
    OrvLsn getPrevLsn() const;

protected:
    // The calling process's transaction (pid, 0), kind 0.
    OrvAbstractLogEntry();
    OrvAbstractLogEntry(const OrvAbstractLogEntry& other) = default;
    OrvAbstractLogEntry& operator=(const OrvAbstractLogEntry& other) = default;
    OrvAbstractLogEntry(OrvAbstractLogEntry&& other) noexcept = default;
    OrvAbstractLogEntry& operator=(OrvAbstractLogEntry&& other) noexcept = default;

    // Text form of an optional tuple id: "page,slot", or empty when absent.
    static std::string tupleIdText(const TupleId* tid);
    // A copy of length bytes of image in a new array of length + 1 bytes, the
    // last one 0. Throws failCode for a negative length, for a null image of
    // positive length, and when the array cannot be allocated.
    static std::unique_ptr<char[]> copyImage(const char* image, int length, OrvErrorCode failCode);
    // Replaces out with the record "<kind>;" followed by every field and its
    // ';', and sets the length. Throws ORV_LOGM_SERIALIZE_FAILED when the
    // length would not fit an int or out cannot hold the record (the length
    // is 0 then).
    void serializeFields(std::string& out, char kind,
                         std::initializer_list<std::string_view> fields);

    OrvTransactionId transactionID;
    int transactionType;
    int length;
    std::string sLsn;
    std::string sPrevLsn;
};

#endif
