// Internals of the log manager: the content of the shared memory set
// LogFileHandling. The log manager itself is declared in OrvLog.h.
#ifndef ORV_LOG_MANAGER_H
#define ORV_LOG_MANAGER_H

#include "OrvConfig.h"
#include "OrvLog.h"
#include "support/OrvLatch.h"

#include <cstddef>
#include <type_traits>

// Publishes the entry just written (see OrvLogManager::publishLastEntryTo).
// REQUIRES: the log latch, held by the append that wrote the entry.
void orvPublishLastEntry(const OrvTransactionId& transactionId, const OrvLsn& lsn);

// Bytes for the log directory and its terminating zero: the rest of the set.
constexpr std::size_t ORV_LOG_DIRECTORY_CAPACITY = ORV_LOG_FILE_HANDLING_SIZE - 20;

// The data of the set LogFileHandling (ORV_LOG_FILE_HANDLING_SIZE bytes):
//
//   offset  size  field
//   0       4     latch            OrvLatch (id of its semaphore set)
//   4       2     filenumber       number of the current log file: the newest
//                                  one at the start, grows by one at each
//                                  switch
//   6       2     endFileNumber    the log file that wholeEnd describes; 0
//                                  when no end is known (no log file at the
//                                  start)
//   8       8     wholeEnd         offset just behind the last whole entry of
//                                  that file
//   16      4     directoryLength  bytes of logDirectory before its zero byte
//   20      4076  logDirectory     absolute path of the directory that holds
//                                  the log files, zero-terminated
//
// The latch guards filenumber, endFileNumber, wholeEnd and the appends to the
// current log file. An appender records the offset it appends at in wholeEnd
// before it writes, and the offset behind its entry once the entry is in the
// file; a file found longer than wholeEnd holds the remains of an append that
// did not finish, which the next appender cuts off. The directory is written
// once, by the start program before any other process can attach, and only
// read afterwards, so it is read without the latch. A process checks it when
// it attaches (shared memory is not trusted blindly).
struct LogFileHandling {
    OrvLatch latch;
    Uint16 filenumber;
    Uint16 endFileNumber;
    Uint64 wholeEnd;
    Uint32 directoryLength;
    char logDirectory[ORV_LOG_DIRECTORY_CAPACITY];
};

static_assert(sizeof(LogFileHandling) == ORV_LOG_FILE_HANDLING_SIZE,
              "the log file handling area fills its set exactly");
static_assert(offsetof(LogFileHandling, latch) == 0, "the latch starts the set");
static_assert(offsetof(LogFileHandling, filenumber) == 4, "file number at offset 4");
static_assert(offsetof(LogFileHandling, endFileNumber) == 6, "end's file number at offset 6");
static_assert(offsetof(LogFileHandling, wholeEnd) == 8, "end of the whole entries at offset 8");
static_assert(offsetof(LogFileHandling, directoryLength) == 16, "directory length at offset 16");
static_assert(offsetof(LogFileHandling, logDirectory) == 20, "directory at offset 20");
static_assert(std::is_standard_layout<LogFileHandling>::value &&
                  std::is_trivially_default_constructible<LogFileHandling>::value,
              "the area is used in place in shared memory");

#endif
