// The error table and the error object: codes, SQLSTATEs, message texts,
// token filling, length limits, source locations, the error trace file.
#include "OrvError.h"
#include "SupportTestHelpers.h"
#include "support/OrvErrorMessages.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using orvtest::readFile;
using orvtest::TempDir;
using supporttest::errorText;
using supporttest::inChild;

namespace {

struct ExpectedMessage {
    OrvErrorCode code;
    int value;
    const char* sqlstate;
    const char* text; // null: the text is ours to choose, checked separately
};

// Typed from the system's message list; checked against the engine's table.
const ExpectedMessage expectedMessages[] = {
    {ORV_SUCCESS, 0, "00000", "The operation was completed successfully."},
    {ORV_INTERNAL_FAIL, -1, "SY002", "An internal failure was encountered."},
    {ORV_PARAMETER_FAIL, -2, "SY003", "An invalid parameter value was detected."},
    {ORV_NOT_FOUND_WARN, 3, "02000", "No record was found."},
    {ORV_SYSTEM_START_FAIL, -4, "SY000", "The system could not be started successfully."},
    {ORV_SYSTEM_STOP_IN_USE, -5, "SY001",
     "The system could not be stopped because it is currently being used."},
    {ORV_COMPILER_PARSE_FAIL, -6, "CP000", "Parsing failed with reason code rc = %s."},
    {ORV_COMPILER_NO_ACCESS_PLAN, -7, "CP001", "The parser did not generate an access plan."},
    {ORV_COMPILER_UNTERMINATED_STRING, -8, "CP002",
     "An unterminated string was encountered at \"%s\"."},
    {ORV_COMPILER_INVALID_NUMBER, -9, "CP003", "An invalid number was encountered at \"%s\"."},
    {ORV_COMPILER_UNKNOWN_TOKEN, -10, "CP004",
     "An unknown token was encountered in the statement, beginning at \"%s\"."},
    {ORV_COMPILER_PARSE_EARLY_END, -11, "CP005",
     "An incomplete or invalid statement was entered.  \"%s\""},
    {ORV_COMPILER_PARSE_ERROR_TOKEN, -12, "CP006",
     "A parsing error \"%s\" occured in statement \"%s\".  Parsing stopped after token \"%s\" at "
     "the beginning of \"%s\"."},
    {ORV_COMPILER_TABLE_ALREADY_EXISTS, -13, "CP100", "A table named '%s' already exists."},
    {ORV_COMPILER_TABLE_NOT_EXISTS, -14, "CP101", "A table named '%s' does not exist."},
    {ORV_COMPILER_DUPLICATE_TABLE_NAME, -15, "CP102",
     "More than one table has the name '%s'.  Table names must be made unique, possibly using "
     "correlation names."},
    {ORV_COMPILER_DUPLICATE_COLUMN_NAME, -16, "CP103",
     "More than one column has the name '%s'.  Column names must be made unique, possibly renaming "
     "single columns."},
    {ORV_COMPILER_KEY_COLUMN_NOT_FOUND, -17, "CP104",
     "The primary key cannot be created on column '%s' because no such column exists in the table "
     "'%s'."},
    {ORV_COMPILER_INDEX_ALREADY_EXISTS, -18, "CP105", "An index named '%s' already exists."},
    {ORV_COMPILER_INDEX_NOT_EXISTS, -19, "CP106", "An index named '%s' does not exist."},
    {ORV_COMPILER_COLUMN_NOT_FOUND_IN_ANY, -20, "CP107",
     "A column named '%s' does not exist in any of the tables in the SQL statement."},
    {ORV_COMPILER_COLUMN_NOT_FOUND, -21, "CP108",
     "A column named '%s' does not exist in the table '%s'."},
    {ORV_COMPILER_COLUMN_TABLE_NOT_UNIQUE, -22, "CP109",
     "The source table to which the column '%s' belongs cannot be determined unambigiously."},
    {ORV_COMPILER_COLUMN_NOT_NULLABLE, -23, "CP110",
     "The column '%s' of table '%s' does not allow NULLs."},
    {ORV_COMPILER_INSERT_INVALID_NUM_VALUES, -24, "CP111",
     "The row %s cannot be inserted into table '%s'.  It has %s columns, but the table is defined "
     "with %s columns."},
    {ORV_COMPILER_INSERT_VALUE_TYPE_MISMATCH, -25, "CP112",
     "The value of column '%s' of row %s cannot be inserted into table '%s' because the types do "
     "not match.  The column in the table is of type %s, and the value to be inserted is of type "
     "%s."},
    {ORV_COMPILER_UPDATE_VALUE_TYPE_MISMATCH, -26, "CP113",
     "The value of column '%s' cannot be updated in table '%s' because the types do not match.  "
     "The column in the table is of type %s, and the value to be set is of type %s."},
    {ORV_COMPILER_PREDICATE_TYPE_MISMATCH, -27, "CP114",
     "The predicate '%s %s %s' is not valid because it compares values of two different types."},
    {ORV_COMPILER_CORRELATION_NAME_NOT_EXISTS, -28, "CP115",
     "The correlation name '%s' used in the select clause is not assigned to any of the tables in "
     "the from clause."},
    {ORV_OPT_PREDICATE_ON_MULTIPLE_TABLES_WARN, 29, "OPT00",
     "The predicate operates on multiple tables and cannot be pushed down into the join."},
    {ORV_OPT_EMPTY_RESULT_SET_WARN, 30, "OPT01",
     "The statement does not affect any rows because the predicates in the where clause evaluate "
     "to 'false'."},
    {ORV_CAT_COLUMN_NOT_IN_TABLE, -31, "CAT01", "A column named '%s' does not exist in table '%s'"},
    {ORV_CAT_MODIFYING_CATALOG_TABLES_NOT_ALLOWED, -32, "CAT02",
     "Modifying the catalog tables is not allowed."},
    {ORV_CAT_DATATYPE_MISMATCH, -33, "CAT03",
     "Cannot access a value of type '%s' for column %s because the values in that column are of "
     "type '%s'."},
    {ORV_CAT_INCOMPLETE_CATALOG_FOUND, -34, "CAT04",
     "The database already exists but the catalog is not complete.  At least one catalog table or "
     "an index on any of the catalog tables is missing.  Clean up the database in path '%s' "
     "manually."},
    {ORV_CAT_INVALID_RECORD_SIZE, -35, "CAT05",
     "The record is %s bytes long, but it must be at least %s bytes and at most %s bytes long."},
    {ORV_CAT_INVALID_RECORD_STRUCTURE, -36, "CAT06",
     "Cannot read %s bytes in record at offset %s because the record is only %s bytes long.  The "
     "record has an invalid structure that does not line up with the definition of the table it "
     "belongs to."},
    {ORV_CAT_COLUMN_NOT_NULLABLE, -37, "CAT07",
     "Cannot set the attribute %s in a record to NULL because the definition of the table the "
     "record belongs to forbids NULLs in that column."},
    {ORV_CAT_VALUE_TOO_LONG, -38, "CAT08",
     "Cannot set the value '%s' for column %s because the value has a length of %s bytes but the "
     "column is defined with a maximum length of %s bytes."},
    {ORV_CAT_TOO_MANY_TABLES, -39, "CAT09",
     "Cannot create a new table in the database because too many tables already exist."},
    {ORV_CAT_TOO_MANY_INDEXES, -40, "CAT10",
     "Cannot create a new index in the database because too many indexes already exist."},
    {ORV_CAT_INCONSISTENT_CATALOG, -41, "CAT11",
     "The information stored in the catalog is invalid or inconsistent."},
    {ORV_CAT_INDEX_NAME_TOO_LONG, -42, "CAT12",
     "The index name '%s' is too long.  The name for an index must have at most %s characters."},
    {ORV_CAT_TABLE_NAME_TOO_LONG, -43, "CAT13",
     "The table name '%s' is too long.  The name for a table must have at most %s characters."},
    {ORV_CAT_COLUMN_NAME_TOO_LONG, -44, "CAT14",
     "The column name '%s' is too long.  The name for a column must have at most %s characters."},
    {ORV_RUNTIME_INVALID_PROJECTION_DEFINITION, -45, "RT000",
     "The internal definition of the projection of the colunms in the table is invalid.  A column "
     "with number %s does not exist in the underlying table."},
    {ORV_RUNTIME_REGEXP_COMPILE_FAIL, -46, "RT001",
     "Could not compile the regular expression '%s' into the internal format.  An error '%s' "
     "occured at position %s."},
    {ORV_RUNTIME_REGEXP_MATCH_FAIL, -47, "RT002", nullptr},
    {ORV_RUNTIME_TOO_MANY_COLUMNS_IN_TABLE, -48, "RT003",
     "The table %s cannot be defined with more than %s columns."},
    {ORV_RUNTIME_COLUMN_TOO_LONG, -49, "RT004",
     "The length %s for the column %s is not in the valid range between 1 and %s."},
    {ORV_RM_NO_MEMORY_BLOCK_FOUND_WARN, 50, "RM000",
     "There is no page in table %s which has at least %s bytes of free space."},
    {ORV_RM_GET_RECORD_TOO_LONG, -51, "RM001",
     "The length of record at offset %s that was requested from page %s in segment %s indicates a "
     "size of %s bytes.  So the complete record exceeds the total page size of %s bytes."},
    {ORV_RM_INSERT_RECORD_TOO_LONG, -52, "RM002",
     "Length %s of the record is too big for a page size of %s bytes."},
    {ORV_RM_RECORD_OUT_OF_PAGE_BOUNDS, -53, "RM003",
     "The offset %s of the requested record is outside of the data area of the page %s on segment "
     "%s."},
    {ORV_RM_FSI_PAGE_DOES_NOT_EXIST, -54, "RM004",
     "The free space inventory page %s for data page %s in segment %s does not exist."},
    {ORV_RM_NO_FSI_ENTRY_FOR_PAGE, -55, "RM005",
     "Could not find any information about page %s on segment %s in free space inventory."},
    {ORV_RM_FSI_ENTRY_NOT_ALLOWED, -56, "RM006",
     "The page %s in segment %s must not be inserted into the free space inventory because it "
     "itself is a free space inventory page."},
    {ORV_RM_TABLE_ALREADY_EXISTS, -57, "RM007",
     "A table with ID %s already exists in the database."},
    {ORV_RM_NOT_ENOUGH_SPACE_FOR_TID, -58, "RM008",
     "Not enough space could be freed on the page %s in segment %s to place the secondary tuple-id "
     "of two records that will be moved to a different page."},
    {ORV_RM_NO_MORE_PAGES, -59, "RM009",
     "Could not allocate a new page in table %s because all pages are already used."},
    {ORV_RM_NO_MORE_SLOTS, -60, "RM010",
     "Could not find a new slotID %s because the page is full "},
    {ORV_RM_REC_NOT_FOUND, -61, "RM011", "The Record was not found "},
    {ORV_RM_NULL_LEN_REC, -62, "RM012", "The Record had a length of 0 bytes "},
    {ORV_RM_SLOT_OVER_DATA, -63, "RM013", "The new Slot would overwrite a data block "},
    {ORV_IM_INDEX_ALREADY_EXISTS, -64, "IM000", "The index with id %s already exists."},
    {ORV_IM_DUPLICATE_KEY_IN_UNIQUE_INDEX, -65, "IM001",
     "The index key already exists in the unique index with segment id %s."},
    {ORV_IM_NO_LEAF_PAGE, -66, "IM002",
     "The leaf page %s of the B-tree index in segment %s was requested but the returned page is of "
     "type %s, which is not a leaf."},
    {ORV_IM_DUPLICATE_ENTRY_IN_NON_UNIQUE_INDEX, -67, "IM003",
     "The index key with associated tupleId already exists in index with segment id %s."},
    {ORV_IM_NO_MORE_PAGES, -68, "IM004",
     "Could not allocate a new page in index %s because all pages are already used."},
    {ORV_IM_INDEX_NOT_OPENED, -69, "IM005",
     "The index %s cannot be accessed because it was not yet opened."},
    {ORV_IM_INDEXTYPE_NOT_VALID, -70, "IM006", "The indextype %s is not BTree or Hash"},
    {ORV_IM_NOT_IMPL_HASH, -71, "IM007", "The indextype Hash has not been implemented yet"},
    {ORV_LM_LOCK_LIST_FULL, -72, "LM000",
     "There is no available space in the lock list to store a new lock."},
    {ORV_LM_NO_SUCH_ENTRY, -73, "LM001",
     "A lock for segment %s on page %s on slot %s cannot be released because the current "
     "transaction does not hold the lock."},
    {ORV_LM_LOCK_TIME_OUT, -74, "LM002",
     "A %s lock on segment %s on page %s on slot %s could not be granted to the current "
     "transaction.  A timeout occured."},
    {ORV_LM_DEADLOCK, -75, "LM003", "A deadlock occurred."},
    {ORV_LOGM_SERIALIZE_FAILED, -76, "LOG00", "The serialisazion of the log-entry failed."},
    {ORV_LOGM_FILE_OPEN_FAILED, -77, "LOG01", "The File could not be opened."},
    {ORV_LOGM_FILE_CLOSE_FAILED, -78, "LOG02", "The File could not be closed."},
    {ORV_LOGM_FILE_WRITE_FAILED, -79, "LOG03", nullptr},
    {ORV_LOGM_RECORD_INIT_FAILED, -80, "LOG04",
     "Missing Parameter in OrvRecordLogEntry Constructor."},
    {ORV_LOGM_INDEX_INIT_FAILED, -81, "LOG05",
     "Missing Parameter in OrvIndexLogEntry Constructor."},
    {ORV_LOGM_LSN_PARSING_FAILED, -82, "LOG06", "The parsing of LSN '%s' from a string."},
    {ORV_BM_PAGE_NOT_FOUND, -83, "BM000", "The page %s in segment %s was not found in the buffer."},
    {ORV_BM_PAGETYPE_MISMATCH, -84, "BM001",
     "The page %s in segment %s is of type %s but a page of type %s was requested."},
    {ORV_BM_PAGEID_MISMATCH, -85, "BM002",
     "The requested page %s in segment %s is invalid.  It's page ID is set to %s."},
    {ORV_BM_BUFFER_FULL, -86, "BM003",
     "The system buffer is full and no free space for another page could be found."},
    {ORV_BM_PAGE_IS_DIRTY, -87, "BM004",
     "Page %s in segment %s found in the buffer pool is marked as 'dirty' and currently being used "
     "by another transaction.  The page cannot be requested."},
    {ORV_BM_PAGE_IS_FIX, -88, "BM005",
     "Page %s in segment %s is fixed by multiple transactions and cannot be set as 'dirty'."},
    {ORV_BM_PAGE_NOT_RELEASED, -89, "BM006",
     "Page %s in segment %s was not released before the end of the transaction."},
    {ORV_BM_PAGE_ALREADY_EXISTS_IN_BUFFER, -90, "BM007",
     "The page %s from segment %s allready exists in the buffer pool."},
    {ORV_BM_PAGE_ALREADY_EXISTS_IN_FILE, -91, "BM008",
     "The page %s from segment %s allready exists in the file."},
    {ORV_BM_SEGMENT_DROPPED, -92, "BM009",
     "The page %s from segment %s cannot be retrieved from the buffer because the segment was "
     "previously dropped."},
    {ORV_FM_FILE_NOT_FOUND, -93, "FM001", "The file for segment %s could not be found."},
    {ORV_FM_FILE_ALREADY_EXISTS, -94, "FM002",
     "The file for segment %s could not be created because it already exists."},
    {ORV_FM_FILE_NOT_OPEN, -95, "FM003",
     "The file for segment %s cannot be accessed because it was not opened."},
    {ORV_FM_FILE_STILL_OPEN, -96, "FM004",
     "The file for segment %s cannot be dropped because it is still opened.  Close the file befor "
     "attempting to drop it."},
    {ORV_FM_PAGE_NOT_EXISTS, -97, "FM005",
     "Page number %s does not exist in segment %s.  The file contains only %s pages."},
    {ORV_FM_FILE_CREATE_FAIL, -98, "FM006",
     "An error occured while creating the file for segment %s."},
    {ORV_FM_FILE_DROP_FAIL, -99, "FM007",
     "An error occured while removing the file for segment %s."},
    {ORV_FM_FILE_OPEN_FAIL, -100, "FM008",
     "An error occured while opening the file for segment %s."},
    {ORV_FM_FILE_CLOSE_FAIL, -101, "FM009",
     "An error occured while closing the file for segment %s."},
    {ORV_FM_FILE_READ_FAIL, -102, "FM010",
     "An error occured while reading from the file for segment %s."},
    {ORV_FM_FILE_WRITE_FAIL, -103, "FM011",
     "An error occured while writing to the file for segment %s."},
    {ORV_FM_PATH_TOO_LONG, -104, "FM012",
     "The fully qualified path to the database directory %s is too long.  It exceeds the maximum "
     "possible length of %s characters."},
    {ORV_FM_FILE_INVALID_SIZE, -105, "FM013",
     "The file for segment %s has an invalid size of %s bytes.  Each file must have a size that is "
     "a multiple of the page size of %s bytes."},
    {ORV_ERROR_DUPLICATE_ERROR_OBJECT, -106, "ER000",
     "An error object already exists; could not create a second one."},
    {ORV_MM_ALLOC_FAIL, -107, "MM000", "Could not allocte %s bytes successfully."},
    {ORV_MM_BUFFER_UNDER_OVERFLOW, -108, "MM001",
     "An underflow or overflow of a memory block allocated at '%s:%s' (Function: %s) was "
     "detected."},
    {ORV_MM_SHM_CREATE_FAIL, -109, "MM002",
     "Could not create shared memory segment for memory set '%s' (ID %s) exclusively.  Segment "
     "already exists?  System error: %s ('%s')"},
    {ORV_MM_SHM_GETID_FAIL, -110, "MM003",
     "Could not determine the shared memory segment id for memory set '%s'.  Segment does not "
     "exists?  System error: %s ('%s')"},
    {ORV_MM_SHM_DESTROY_WARN, 111, "MM004",
     "Could not destroy shared memory segment for memory set '%s' (ID %s).  Please cleanup "
     "manually.  System error: %s ('%s')"},
    {ORV_MM_SHM_CONNECT_FAIL, -112, "MM005",
     "Could not connect to shared memory segment for memory set '%s' (ID %s).  System error: %s "
     "('%s')"},
    {ORV_MM_SHM_DISCONNECT_FAIL, -113, "MM006",
     "Could not disconnect from shared memory segment for memory set '%s' (ID %s).  System error: "
     "%s ('%s')"},
    {ORV_MM_SHM_NOT_EXISTS, -114, "MM007",
     "The shared memory segment for memory set '%s' does not exist."},
    {ORV_MM_SHM_ALREADY_ATTACHED, -115, "MM008",
     "Could not connect to memory set '%s' (ID %s).  A connection to the shared memory segment for "
     "this memory set already exists."},
    {ORV_MM_SHM_NOT_ATTACHED, -116, "MM009",
     "Could not disconnect from memory set '%s'.  A connection to the shared memory segment for "
     "this memory set does not exist."},
    {ORV_LATCH_SEM_CREATE_FAIL, -117, "LT000",
     "Could not create new semaphore set.  System error: %s ('%s')"},
    {ORV_LATCH_SEM_DESTROY_WARN, 118, "LT001",
     "Could not destroy semaphore set.  Please cleanup manually.  System error: %s ('%s')"},
    {ORV_LATCH_SEM_OPERATION_FAIL, -119, "LT002",
     "An operation on the semaphore set failed.  System error: %s ('%s')"},
    {ORV_TRANSACTION_ID_PARSING_FAILED, -120, "TX000",
     "The parsing of transaction ID '%s' from a string."},
    // Codes added since: their values are given at merge time, so only their
    // order and SQLSTATE are checked here.
    {ORV_MM_DATABASE_PATH_INVALID, ORV_MM_DATABASE_PATH_INVALID, "MM010", nullptr},
    {ORV_MM_SHM_FOREIGN_SET, ORV_MM_SHM_FOREIGN_SET, "MM011", nullptr},
    {ORV_MM_SHM_FOREIGN_OWNER, ORV_MM_SHM_FOREIGN_OWNER, "MM012", nullptr},
    {ORV_MM_SHM_ACCESS_DENIED, ORV_MM_SHM_ACCESS_DENIED, "MM013", nullptr},
    {ORV_MM_NOT_DIRECTORY_OWNER, ORV_MM_NOT_DIRECTORY_OWNER, "MM014", nullptr},
    {ORV_LM_WAITING_LIST_FULL, ORV_LM_WAITING_LIST_FULL, "LM004", nullptr},
    {ORV_LOGM_LOG_DIRECTORY_TAKEN, ORV_LOGM_LOG_DIRECTORY_TAKEN, "LOG07", nullptr},
    {ORV_LOGM_LOG_FILE_DAMAGED, ORV_LOGM_LOG_FILE_DAMAGED, "LOG08", nullptr},
    {ORV_LOGM_LOG_DIRECTORY_OWNER, ORV_LOGM_LOG_DIRECTORY_OWNER, "LOG09", nullptr},
    {ORV_LOGM_FILE_IS_LINK, ORV_LOGM_FILE_IS_LINK, "LOG10", nullptr},
    {ORV_LOGM_ENTRY_TOO_LARGE, ORV_LOGM_ENTRY_TOO_LARGE, "LOG11", nullptr},
    {ORV_BM_FIXES_LEFT, ORV_BM_FIXES_LEFT, "BM010", nullptr},
    {ORV_CAT_RECORD_TOO_LONG, ORV_CAT_RECORD_TOO_LONG, "CAT15", nullptr},
    {ORV_IM_VARCHAR_INDEX_FULL, ORV_IM_VARCHAR_INDEX_FULL, "IM008", nullptr},
    {ORV_LATCH_HOLDER_DEAD, ORV_LATCH_HOLDER_DEAD, "LT003", nullptr},
    {ORV_CAT_TABLE_HAS_INDEXES, ORV_CAT_TABLE_HAS_INDEXES, "CAT16", nullptr},
    {ORV_TX_CATALOG_WRITE_FAILED, ORV_TX_CATALOG_WRITE_FAILED, "CAT17", nullptr},
    {ORV_SYSTEM_STATE_FILE_FAIL, ORV_SYSTEM_STATE_FILE_FAIL, "SY004", nullptr},
    {ORV_LOGM_SYNC_SETTING_INVALID, ORV_LOGM_SYNC_SETTING_INVALID, "LOG12", nullptr},
    {ORV_LOGM_FILE_SYNC_FAILED, ORV_LOGM_FILE_SYNC_FAILED, "LOG13", nullptr},
    {ORV_FM_FILE_SYNC_FAIL, ORV_FM_FILE_SYNC_FAIL, "FM014", nullptr},
    {ORV_LOGM_FILE_READ_FAILED, ORV_LOGM_FILE_READ_FAILED, "LOG14", nullptr},
    {ORV_SHOW_UNKNOWN_NAME, ORV_SHOW_UNKNOWN_NAME, "SH000", nullptr},
    {ORV_SHOW_INVALID_ARGUMENTS, ORV_SHOW_INVALID_ARGUMENTS, "SH001", nullptr},
    {ORV_SHOW_RENDER_FAIL, ORV_SHOW_RENDER_FAIL, "SH002", nullptr},
};

int countPlaceholders(const std::string& text) {
    int count = 0;
    for (std::size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + 2)) {
        ++count;
    }
    return count;
}

std::string stackTraceFile(const TempDir& dir) {
    return dir.file("errors.txt");
}

} // namespace

// ---- The table --------------------------------------------------------------

TEST(OrvErrorTableTest, EveryCodeHasItsValueSqlstateAndText) {
    ASSERT_EQ(sizeof(expectedMessages) / sizeof(expectedMessages[0]),
              static_cast<std::size_t>(ORV_ERROR_CODE_COUNT));
    for (int i = 0; i < ORV_ERROR_CODE_COUNT; ++i) {
        const ExpectedMessage& expected = expectedMessages[i];
        SCOPED_TRACE("code " + std::to_string(expected.value));
        EXPECT_EQ(expected.value, static_cast<int>(expected.code));
        EXPECT_EQ(i, std::abs(expected.value));

        const OrvErrorMessage& record = orvErrorMessages[i];
        EXPECT_EQ(expected.code, record.errorCode);
        EXPECT_STREQ(expected.sqlstate, record.sqlstate);
        if (expected.text != nullptr) {
            EXPECT_STREQ(expected.text, record.message);
        }

        // Through the error object: "%s" as every token gives back the format.
        OrvError error;
        error.setError(Support, expected.code, "%s", "%s", "%s", "%s", "%s", "%s");
        supporttest::ErrorText got = errorText(error);
        EXPECT_EQ(expected.sqlstate, got.sqlstate);
        EXPECT_EQ(record.message, got.message);
        EXPECT_EQ(expected.code, error.getErrorCode());
    }
}

TEST(OrvErrorTableTest, TextsOfOurOwnHaveTheirSqlstateAndTokens) {
    OrvError error;
    const OrvErrorMessage& logWrite = orvErrorMessages[-ORV_LOGM_FILE_WRITE_FAILED];
    EXPECT_STREQ("LOG03", logWrite.sqlstate);
    EXPECT_EQ(1, countPlaceholders(logWrite.message));
    error.setError(LogManager, ORV_LOGM_FILE_WRITE_FAILED, "17.log");
    EXPECT_NE(std::string::npos, errorText(error).message.find("17.log"));
    EXPECT_EQ("LOG03", errorText(error).sqlstate);

    const OrvErrorMessage& match = orvErrorMessages[-ORV_RUNTIME_REGEXP_MATCH_FAIL];
    EXPECT_STREQ("RT002", match.sqlstate);
    EXPECT_EQ(3, countPlaceholders(match.message));
    error.setError(RunTime, ORV_RUNTIME_REGEXP_MATCH_FAIL, "abc", "a.*z", "-3");
    std::string text = errorText(error).message;
    std::size_t subject = text.find("abc");
    std::size_t pattern = text.find("a.*z");
    std::size_t rc = text.find("-3");
    EXPECT_NE(std::string::npos, subject);
    EXPECT_NE(std::string::npos, pattern);
    EXPECT_NE(std::string::npos, rc);
    EXPECT_LT(subject, pattern);
    EXPECT_LT(pattern, rc);
    EXPECT_EQ("RT002", errorText(error).sqlstate);
}

TEST(OrvErrorTableTest, CodesOutsideTheTableGetTheFallback) {
    const int unknown[] = {ORV_ERROR_CODE_COUNT, -ORV_ERROR_CODE_COUNT, 1000, INT_MIN, INT_MAX};
    for (int value : unknown) {
        OrvError error;
        error.setError(BufferManager, static_cast<OrvErrorCode>(value), "token");
        supporttest::ErrorText got = errorText(error);
        EXPECT_EQ("Internal message failure", got.message) << value;
        EXPECT_EQ("ERZZZ", got.sqlstate) << value;
        EXPECT_EQ(value, static_cast<int>(error.getErrorCode()));
        EXPECT_EQ(BufferManager, error.getComponent());
    }
}

// ---- Formatting ---------------------------------------------------------------

TEST(OrvErrorTest, FillsTokensInPlaceholderOrder) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "7");
    EXPECT_EQ("The file for segment 7 could not be found.", errorText(error).message);
    EXPECT_EQ("FM001", errorText(error).sqlstate);
    EXPECT_EQ(FileManager, error.getComponent());

    error.setError(Support, ORV_MM_SHM_CREATE_FAIL, "BufferPool", "42", "17", "File exists");
    EXPECT_EQ("Could not create shared memory segment for memory set 'BufferPool' (ID 42) "
              "exclusively.  Segment already exists?  System error: 17 ('File exists')",
              errorText(error).message);
    EXPECT_EQ("MM002", errorText(error).sqlstate);

    // Five placeholders, six tokens: the sixth has no place.
    error.setError(RecordManager, ORV_RM_GET_RECORD_TOO_LONG, "1", "2", "3", "4", "5", "6");
    EXPECT_EQ("The length of record at offset 1 that was requested from page 2 in segment 3 "
              "indicates a size of 4 bytes.  So the complete record exceeds the total page size "
              "of 5 bytes.",
              errorText(error).message);
}

TEST(OrvErrorTest, MissingTokensLeavePlaceholdersEmpty) {
    OrvError error;
    error.setError(FileManager, ORV_FM_PAGE_NOT_EXISTS, "5");
    EXPECT_EQ("Page number 5 does not exist in segment .  The file contains only  pages.",
              errorText(error).message);

    error.setError(FileManager, ORV_FM_PAGE_NOT_EXISTS, "5", nullptr, "2");
    EXPECT_EQ("Page number 5 does not exist in segment .  The file contains only 2 pages.",
              errorText(error).message);

    error.setError(FileManager, ORV_FM_PAGE_NOT_EXISTS);
    EXPECT_EQ("Page number  does not exist in segment .  The file contains only  pages.",
              errorText(error).message);
    EXPECT_EQ("FM005", errorText(error).sqlstate);
}

TEST(OrvErrorTest, TokensAreCopiedLiterally) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "%s%d%n%%");
    EXPECT_EQ("The file for segment %s%d%n%% could not be found.", errorText(error).message);
}

TEST(OrvErrorTest, FallbackLeavesNothingOfTheEarlierMessage) {
    OrvError error;
    error.setError(CatalogManager, ORV_CAT_INCOMPLETE_CATALOG_FOUND, std::string(700, 'x').c_str());
    ASSERT_GT(errorText(error).message.size(), 700u);
    error.setError(Support, static_cast<OrvErrorCode>(-500));
    supporttest::ErrorText got = errorText(error);
    EXPECT_EQ("Internal message failure", got.message);
    EXPECT_EQ("ERZZZ", got.sqlstate);
}

TEST(OrvErrorTest, MessageAndTokensUpTo1025BytesAreFormatted) {
    const std::string format = "The file for segment %s could not be found.";
    OrvError error;

    std::string token(1025 - format.size(), 'a');
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, token.c_str());
    EXPECT_EQ("The file for segment " + token + " could not be found.", errorText(error).message);
    EXPECT_EQ("FM001", errorText(error).sqlstate);

    token.push_back('a');
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, token.c_str());
    EXPECT_EQ("Internal message failure", errorText(error).message);
    EXPECT_EQ("FM001", errorText(error).sqlstate);
    EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, error.getErrorCode());
}

TEST(OrvErrorTest, LengthLimitCountsEveryPresentToken) {
    // Tokens beyond the placeholders count as well; absent ones do not.
    const std::string format = "The file for segment %s could not be found.";
    std::size_t room = 1025 - format.size();
    std::string half(room / 2, 'b');
    std::string rest(room - half.size(), 'c');
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, half.c_str(), nullptr, rest.c_str());
    EXPECT_EQ("The file for segment " + half + " could not be found.", errorText(error).message);

    rest.push_back('c');
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, half.c_str(), nullptr, rest.c_str());
    EXPECT_EQ("Internal message failure", errorText(error).message);

    // A code without placeholders still counts its tokens.
    error.setError(Support, ORV_INTERNAL_FAIL, std::string(2000, 'd').c_str());
    EXPECT_EQ("Internal message failure", errorText(error).message);
    EXPECT_EQ("SY002", errorText(error).sqlstate);
}

// ---- Source locations ----------------------------------------------------------

TEST(OrvErrorTest, FirstLocationOfAnInternalFailureExtendsTheMessage) {
    OrvError error;
    error.setError(Support, ORV_INTERNAL_FAIL);
    error.addTraceRecord("a.cpp", "void a()", 12);
    EXPECT_EQ("An internal failure was encountered.  (a.cpp:12 void a())",
              errorText(error).message);
    error.addTraceRecord("b.cpp", "void b()", 34);
    EXPECT_EQ("An internal failure was encountered.  (a.cpp:12 void a())",
              errorText(error).message);
    EXPECT_EQ("SY002", errorText(error).sqlstate);

    // A new error starts a new path.
    error.setError(Support, ORV_PARAMETER_FAIL);
    error.addTraceRecord("c.cpp", "int c(int)", 56);
    EXPECT_EQ("An invalid parameter value was detected.  (c.cpp:56 int c(int))",
              errorText(error).message);
}

TEST(OrvErrorTest, LocationsLeaveOtherMessagesAlone) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "3");
    error.addTraceRecord("a.cpp", "void a()", 12);
    EXPECT_EQ("The file for segment 3 could not be found.", errorText(error).message);

    error.setError(Support, ORV_INTERNAL_FAIL);
    error.addTraceRecord(nullptr, "void a()", 12);
    error.addTraceRecord("a.cpp", nullptr, 12);
    EXPECT_EQ("An internal failure was encountered.", errorText(error).message);
    // The ignored calls did not use up the one extension.
    error.addTraceRecord("d.cpp", "void d()", 78);
    EXPECT_EQ("An internal failure was encountered.  (d.cpp:78 void d())",
              errorText(error).message);
}

TEST(OrvErrorTest, ExtendedMessageIsCutTo1023Characters) {
    OrvError error;
    error.setError(Support, ORV_INTERNAL_FAIL);
    std::string file(2000, 'f');
    error.addTraceRecord(file.c_str(), "void a()", 1);
    std::string expected = "An internal failure was encountered.  (" + file;
    expected.resize(1023);
    EXPECT_EQ(expected, errorText(error).message);
}

TEST(OrvErrorTest, TraceFileGetsEveryMessageAndEveryLocation) {
    TempDir dir;
    EXPECT_EQ(0, inChild([&dir] {
                  setenv("ORV_STACK_TRACE_FILE", stackTraceFile(dir).c_str(), 1);
                  OrvError error;
                  error.setError(Support, ORV_INTERNAL_FAIL);
                  error.addTraceRecord("a.cpp", "void a()", 12);
                  error.addTraceRecord("b.cpp", "void b()", 34);
                  error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "9");
                  error.addTraceRecord("c.cpp", "void c()", 56);
                  error.addTraceRecord(nullptr, "void x()", 1);
              }));
    EXPECT_EQ("An internal failure was encountered.\n"
              "a.cpp:12 void a() (-1)\n"
              "b.cpp:34 void b() (-1)\n"
              "The file for segment 9 could not be found.\n"
              "c.cpp:56 void c() (-93)\n",
              readFile(stackTraceFile(dir)));
}

TEST(OrvErrorTest, TraceFileIsTruncatedWhenTheObjectIsMade) {
    TempDir dir;
    orvtest::writeFile(stackTraceFile(dir), "left from an earlier run\n");
    EXPECT_EQ(0, inChild([&dir] {
                  setenv("ORV_STACK_TRACE_FILE", stackTraceFile(dir).c_str(), 1);
                  OrvError error;
                  error.setError(LockManager, ORV_LM_DEADLOCK);
              }));
    EXPECT_EQ("A deadlock occurred.\n", readFile(stackTraceFile(dir)));
}

TEST(OrvErrorTest, UnwritableTraceFileIsSilentlyLeftOut) {
    TempDir dir;
    // A path in a missing directory, and a directory, cannot be opened.
    const std::string paths[] = {dir.file("no-such-dir/errors.txt"), dir.path()};
    for (const std::string& path : paths) {
        EXPECT_EQ(0, inChild([&path] {
                      setenv("ORV_STACK_TRACE_FILE", path.c_str(), 1);
                      OrvError error;
                      error.setError(Support, ORV_INTERNAL_FAIL);
                      error.addTraceRecord("a.cpp", "void a()", 12);
                      EXPECT_EQ("An internal failure was encountered.  (a.cpp:12 void a())",
                                errorText(error).message);
                  }))
            << path;
    }
    EXPECT_NE(0, access(paths[0].c_str(), F_OK));
    EXPECT_EQ(0, rmdir(dir.path().c_str())) << "the directory got an entry";
    EXPECT_EQ(0, mkdir(dir.path().c_str(), 0700));
}

// ---- Copying out ---------------------------------------------------------------

TEST(OrvErrorTest, GetErrorCutsToTheBuffer) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "7");

    char small[10];
    std::memset(small, 'X', sizeof(small));
    char sqlstate[7];
    std::memset(sqlstate, 'X', sizeof(sqlstate));
    error.getError(small, 10, sqlstate);
    EXPECT_STREQ("The file ", small);
    // The five characters, no terminator.
    EXPECT_EQ("FM001XX", std::string(sqlstate, 7));

    char one[2] = {'X', 'Y'};
    error.getError(one, 1, nullptr);
    EXPECT_EQ('\0', one[0]);
    EXPECT_EQ('Y', one[1]);

    char none[1] = {'X'};
    error.getError(none, 0, nullptr);
    EXPECT_EQ('X', none[0]);

    std::string large(4000, 'X');
    error.getError(&large[0], static_cast<Uint32>(large.size()), nullptr);
    EXPECT_STREQ("The file for segment 7 could not be found.", large.c_str());
    EXPECT_EQ('X', large[1025]);
    EXPECT_EQ(ORV_FM_FILE_NOT_FOUND, error.getErrorCode());
}

TEST(OrvErrorTest, GetErrorWithoutBufferRecordsParameterFailure) {
    OrvError error;
    error.setError(FileManager, ORV_FM_FILE_NOT_FOUND, "7");
    char sqlstate[6] = {};
    error.getError(nullptr, 100, sqlstate);
    EXPECT_EQ(ORV_PARAMETER_FAIL, error.getErrorCode());
    EXPECT_EQ(Support, error.getComponent());
    EXPECT_STREQ("", sqlstate);
    EXPECT_EQ("An invalid parameter value was detected.", errorText(error).message);
}

TEST(OrvErrorTest, GetErrorBeforeAnyErrorReportsSuccess) {
    OrvError error;
    EXPECT_EQ(ORV_SUCCESS, error.getErrorCode());
    EXPECT_EQ(Support, error.getComponent());
    supporttest::ErrorText got = errorText(error);
    EXPECT_EQ("The operation was completed successfully.", got.message);
    EXPECT_EQ("00000", got.sqlstate);
    EXPECT_EQ(ORV_SUCCESS, error.getErrorCode());
}

TEST(OrvErrorTest, ConvertToStringWritesNumbers) {
    char buffer[32];
    EXPECT_STREQ("4294967295", OrvError::convertToString(Uint32(4294967295u), buffer));
    EXPECT_STREQ("-2147483648", OrvError::convertToString(Sint32(INT_MIN), buffer));
    const char* text = "segment";
    EXPECT_EQ(text, OrvError::convertToString(text, buffer));
}

// ---- One object per process ------------------------------------------------------

TEST(OrvErrorTest, FirstObjectIsTheProcessObject) {
    EXPECT_EQ(0, inChild([] {
                  OrvError error;
                  EXPECT_EQ(&error, OrvError::getErrorObject());
                  error.setError(LockManager, ORV_LM_DEADLOCK);
                  EXPECT_EQ(ORV_LM_DEADLOCK, OrvGetErrorCode());
              }));
}

TEST(OrvErrorTest, GetErrorObjectMakesOneWhenNoneExists) {
    EXPECT_EQ(0, inChild([] {
                  OrvError* error = OrvError::getErrorObject();
                  ASSERT_NE(nullptr, error);
                  EXPECT_EQ(error, OrvError::getErrorObject());
                  EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
                  error->setError(Support, ORV_NOT_FOUND_WARN);
                  EXPECT_EQ(ORV_NOT_FOUND_WARN, OrvGetErrorCode());
              }));
    // After the process object ended, the next use makes a fresh one.
    EXPECT_EQ(0, inChild([] {
                  {
                      OrvError error;
                      error.setError(Support, ORV_INTERNAL_FAIL);
                  }
                  EXPECT_EQ(ORV_SUCCESS, OrvGetErrorCode());
              }));
}

TEST(OrvErrorTest, SecondObjectIsRecordedInTheFirst) {
    TempDir dir;
    EXPECT_EQ(0, inChild([&dir] {
                  setenv("ORV_STACK_TRACE_FILE", stackTraceFile(dir).c_str(), 1);
                  OrvError first;
                  first.setError(LockManager, ORV_LM_DEADLOCK);
                  {
                      OrvError second;
                      EXPECT_EQ(ORV_SUCCESS, second.getErrorCode());
                      EXPECT_EQ(&first, OrvError::getErrorObject());
                  }
                  EXPECT_EQ(&first, OrvError::getErrorObject());
                  EXPECT_EQ(ORV_ERROR_DUPLICATE_ERROR_OBJECT, first.getErrorCode());
                  EXPECT_EQ(Support, first.getComponent());
                  supporttest::ErrorText got = errorText(first);
                  EXPECT_EQ("An error object already exists; could not create a second one.",
                            got.message);
                  EXPECT_EQ("ER000", got.sqlstate);
                  // The first object's file is still written after the second ended.
                  first.setError(Support, ORV_NOT_FOUND_WARN);
              }));
    // The second object neither wiped nor shared the first one's file.
    std::string text = readFile(stackTraceFile(dir));
    const std::string head = "A deadlock occurred.\n"
                             "An error object already exists; could not create a second one.\n";
    ASSERT_EQ(head, text.substr(0, head.size()));
    std::string location = text.substr(head.size());
    EXPECT_NE(std::string::npos, location.find("OrvError.cpp:"));
    EXPECT_NE(std::string::npos, location.find("OrvError::OrvError() (-106)\n"));
    EXPECT_EQ("No record was found.\n", location.substr(location.find('\n') + 1));
}

TEST(OrvErrorTest, LaterObjectAppendsToTheTraceFile) {
    TempDir dir;
    EXPECT_EQ(0, inChild([&dir] {
                  setenv("ORV_STACK_TRACE_FILE", stackTraceFile(dir).c_str(), 1);
                  {
                      OrvError first;
                      first.setError(LockManager, ORV_LM_DEADLOCK);
                  }
                  OrvError::getErrorObject()->setError(Support, ORV_NOT_FOUND_WARN);
              }));
    EXPECT_EQ("A deadlock occurred.\nNo record was found.\n", readFile(stackTraceFile(dir)));
}
