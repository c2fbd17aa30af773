// The record dumps: a table's pages in readable form, and the debug commands
// that print them by table name.
#include "OrvCatalogManager.h"
#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvLock.h"
#include "OrvRecordManager.h"
#include "record/OrvDataPage.h"
#include "record/OrvFsiPage.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

using LM = OrvLockManager;

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// "0x" and at least three upper-case hex digits, " = " and the decimal value.
std::string hexAndDecimal(Uint32 value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%03X = %u", value, value);
    return text;
}

double usedPercent(Uint16 freeSpace) {
    return 100.0 - static_cast<double>(freeSpace) * 100.0 / ORV_PAGE_SIZE;
}

void printInfoHeader() {
    std::cout << std::left << std::setw(12) << "PageType"
              << "| " << std::setw(12) << "PageId"
              << "| " << std::setw(30) << "Number of entries/slots"
              << "| " << std::setw(10) << "Space used" << std::right << std::endl;
}

void printHexDump(const char* data) {
    std::cout << "PageData:" << std::endl << "\t";
    for (int column = 0; column < 16; ++column) {
        std::cout << std::hex << std::uppercase << column << std::dec << "  ";
    }
    std::cout << std::endl;
    for (Uint32 line = 0; line < ORV_PAGE_SIZE / 16; ++line) {
        char text[16];
        std::snprintf(text, sizeof(text), "%02X:\t", line);
        std::cout << text;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data) + line * 16;
        for (int i = 0; i < 16; ++i) {
            std::snprintf(text, sizeof(text), "%02X ", bytes[i]);
            std::cout << text;
        }
        std::cout << "\t";
        for (int i = 0; i < 16; ++i) {
            std::cout << (std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : ' ');
        }
        std::cout << std::endl;
    }
    std::cout << std::endl;
}

// A page id of a command: decimal digits only, 0 .. ORV_MAX_PAGE_ID. A
// larger number must not wrap onto another page, nor -1 onto the lock name
// of the whole table.
bool parsePageId(const std::string& text, PageId& pageId) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const unsigned long value = std::stoul(text);
    if (value > ORV_MAX_PAGE_ID) {
        return false;
    }
    pageId = static_cast<PageId>(value);
    return true;
}

void printRecordedError() {
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    std::cout << "Error" << std::endl << message << std::endl;
}

// The common steps of the three commands: the words, the mode, the page ids
// and the table; then `action` with the table id, the mode and the pages.
template <class Action>
void runCommand(const std::string* args, std::size_t words, const char* usage, Action action) {
    const std::vector<std::string> parts = OrvDebug::splitArguments(args);
    // Refused arguments are recorded as well as printed, so that a front
    // end can tell a refused call from a dump.
    if (parts.size() != words) {
        OrvError::getErrorObject()->setError(RecordManager, ORV_PARAMETER_FAIL);
        std::cout << "Wrong Parameters" << std::endl << usage << std::endl;
        return;
    }
    if (parts[0] != "info" && parts[0] != "dump") {
        OrvError::getErrorObject()->setError(RecordManager, ORV_PARAMETER_FAIL);
        std::cout << "Error" << std::endl << parts[0] << " is a unknown parameter" << std::endl;
        return;
    }
    std::vector<PageId> pages;
    for (std::size_t i = 2; i < words; ++i) {
        PageId pageId = 0;
        if (!parsePageId(parts[i], pageId)) {
            OrvError::getErrorObject()->setError(RecordManager, ORV_PARAMETER_FAIL);
            std::cout << "Wrong Parameters" << std::endl << usage << std::endl;
            return;
        }
        pages.push_back(pageId);
    }
    std::string name = parts[1];
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    try {
        TableId tableId = ORV_UNKNOWN_TABLE_ID;
        if (OrvCatalogManager::getInstance()->getTableId(name, tableId) != ORV_SUCCESS) {
            printRecordedError();
            return;
        }
        action(tableId, parts[0] == "dump", pages);
    } catch (const OrvException& e) {
        std::cout << "Error" << std::endl;
        e.print(std::cout);
    }
    std::cout.flush();
}

} // namespace

void OrvRecordManager::registerDumpCommands() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    OrvDebug::registerFunction(static_cast<orv_dbgfunc*>(&OrvRecordManager::dumpTable), nullptr,
                               "table_all", "Dumps the Content (all pages) of a given table.");
    OrvDebug::registerFunction(static_cast<orv_dbgfunc*>(&OrvRecordManager::dumpPage), nullptr,
                               "table_page", "Dumps a given page of a given table");
    OrvDebug::registerFunction(static_cast<orv_dbgfunc*>(&OrvRecordManager::dumpPages), nullptr,
                               "table_pages", "Dumps a interval of pages of a given table");
}

void OrvRecordManager::dumpTable(const std::string* args) {
    runCommand(args, 2, "USAGE: show table_all (info|dump) <tableName>",
               [](TableId tableId, bool full, const std::vector<PageId>&) {
                   if (full) {
                       getInstance()->dumpTableContent(tableId);
                   } else {
                       getInstance()->dumpTableInfo(tableId);
                   }
               });
}

void OrvRecordManager::dumpPage(const std::string* args) {
    runCommand(args, 3, "USAGE: show table_page (info|dump) <tableName> <pageId>",
               [](TableId tableId, bool full, const std::vector<PageId>& pages) {
                   if (full) {
                       getInstance()->dumpPageContent(tableId, pages[0]);
                   } else {
                       getInstance()->dumpPageInfo(tableId, pages[0], true);
                   }
               });
}

void OrvRecordManager::dumpPages(const std::string* args) {
    runCommand(args, 4, "USAGE: show table_pages (info|dump) <tableName> <pageId1> <pageId2>",
               [](TableId tableId, bool full, const std::vector<PageId>& pages) {
                   if (full) {
                       getInstance()->dumpPagesContent(tableId, pages[0], pages[1]);
                   } else {
                       getInstance()->dumpPagesInfo(tableId, pages[0], pages[1]);
                   }
               });
}

void OrvRecordManager::dumpTableInfo(TableId tableId) {
    dumpPages(tableId, 0, ORV_MAX_PAGE_ID, false);
}

void OrvRecordManager::dumpTableContent(TableId tableId) {
    dumpPages(tableId, 0, ORV_MAX_PAGE_ID, true);
}

void OrvRecordManager::dumpPagesInfo(TableId tableId, PageId first, PageId last) {
    dumpPages(tableId, first, last, false);
}

void OrvRecordManager::dumpPagesContent(TableId tableId, PageId first, PageId last) {
    dumpPages(tableId, first, last, true);
}

void OrvRecordManager::dumpPages(TableId tableId, PageId startPage, PageId endPage, bool full) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = segmentOf(tableId);
    std::cout << "----------DUMP----------" << std::endl
              << "TableId: " << tableId << std::endl
              << "SegmentId: " << segment << std::endl
              << std::endl;
    lockMgr->requestSegment(segment, LM::SharedLock);
    openTable(tableId);
    if (!full) {
        printInfoHeader();
    }
    for (Uint32 p = startPage; p <= endPage; ++p) {
        const PageId pageId = static_cast<PageId>(p);
        bool dump = true;
        if (getFsiSlot(pageId) != ORV_INVALID_SLOT_ID) {
            FsiEntry entry;
            try {
                findFsiEntry(segment, pageId, entry);
            } catch (const OrvException& e) {
                if (e.getErrorCode() != ORV_RM_NO_FSI_ENTRY_FOR_PAGE &&
                    e.getErrorCode() != ORV_BM_PAGE_NOT_FOUND) {
                    throw;
                }
                break;
            }
        } else {
            // An inventory page: the table ends where one was never made.
            OrvScopedPage probe;
            dump = probe.fixIfExists(segment, pageId, OrvPage::FreeSpaceInventoryPage);
            if (!dump) {
                if (p == 0) {
                    std::cout << "Table is empty!" << std::endl;
                }
                break;
            }
        }
        // A page reserved by a process that died before it made the page
        // has an entry but no page: passed over, as scans do.
        OrvScopedPage exists;
        if (!exists.fixIfExists(segment, pageId,
                                getFsiSlot(pageId) == ORV_INVALID_SLOT_ID
                                    ? OrvPage::FreeSpaceInventoryPage
                                    : OrvPage::DataPage)) {
            continue;
        }
        exists.reset();
        if (full) {
            dumpPageContent(tableId, pageId);
        } else {
            dumpPageInfo(tableId, pageId, false);
        }
    }
    std::cout << "--------END DUMP--------" << std::endl << std::endl;
}

void OrvRecordManager::dumpPageInfo(TableId tableId, PageId pageId, bool single) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = openTable(tableId);
    lockMgr->requestPage(segment, pageId, LM::SharedLock);
    const bool inventory = getFsiPageId(pageId) == pageId;
    OrvScopedPage page(segment, pageId,
                       inventory ? OrvPage::FreeSpaceInventoryPage : OrvPage::DataPage,
                       OrvScopedPage::GetExistingPage);
    if (single) {
        printInfoHeader();
    }
    std::cout << std::left << std::setw(12) << (inventory ? "FSV PAGE" : "DATA PAGE") << "| "
              << std::setw(12) << pageId << "| ";
    if (inventory) {
        std::cout << std::setw(30) << OrvFsiPageView(*page.getPage()).countEntries() << "|";
    } else {
        const SlotPageHeader header = OrvDataPageView(*page.getPage()).header();
        std::cout << std::setw(30) << static_cast<unsigned>(header.numberOfSlots) << "| "
                  << std::setw(10) << usedPercent(header.freeSpace) << "%";
    }
    std::cout << std::right << std::endl;
}

void OrvRecordManager::dumpPageContent(TableId tableId, PageId pageId) {
    ORV_TRACE(RecordManager);
    const SegmentId segment = openTable(tableId);
    lockMgr->requestPage(segment, pageId, LM::SharedLock);
    const bool inventory = getFsiPageId(pageId) == pageId;
    OrvScopedPage page(segment, pageId,
                       inventory ? OrvPage::FreeSpaceInventoryPage : OrvPage::DataPage,
                       OrvScopedPage::GetExistingPage);
    const OrvPage& frame = *page.getPage();
    if (inventory) {
        const OrvFsiPageView view(frame);
        std::cout << "FSV PAGE DUMP" << std::endl
                  << "SegmentId: " << segment << std::endl
                  << "PageId: " << pageId << std::endl
                  << "PageType: " << static_cast<int>(frame.getPageType()) << std::endl
                  << "IsDirty: " << boolText(frame.isDirty()) << std::endl
                  << "IsFix: " << boolText(frame.isFix()) << std::endl
                  << "Entries Count: " << view.countEntries() << std::endl;
        for (Uint32 k = 0; k < OrvFsi::MAX_FSI_ENTRIES; ++k) {
            const FsiEntry entry = view.entry(k);
            std::cout << "FSI for page " << pageId + k + 1 << ": "
                      << static_cast<unsigned>(entry.freeSpace)
                      << " Freespace block:" << static_cast<unsigned>(entry.freeSpaceBlock)
                      << std::endl;
        }
        std::cout << std::endl;
    } else {
        const OrvDataPageView view(frame);
        const SlotPageHeader header = view.header();
        std::cout << "DATA PAGE DUMP" << std::endl
                  << "SegmentId: " << segment << std::endl
                  << "PageId: " << pageId << std::endl
                  << "PageType: DataPage (" << static_cast<int>(frame.getPageType()) << ")"
                  << std::endl
                  << "LSN: " << frame.getLsn().dump() << std::endl
                  << "IsDirty: " << boolText(frame.isDirty()) << std::endl
                  << "IsFix: " << boolText(frame.isFix()) << std::endl
                  << "Length of biggest Consecutive Free Space block: " << header.consecFreeSpace
                  << " byte" << std::endl
                  << "Offset of biggest Consecutive Free Space block: "
                  << hexAndDecimal(header.consecFreeSpaceOffset) << std::endl
                  << "Free Space: " << header.freeSpace << " byte" << std::endl
                  << "Space used: " << usedPercent(header.freeSpace) << "%" << std::endl
                  << "Number of Slots: " << static_cast<unsigned>(header.numberOfSlots) << std::endl
                  << "Slots: " << std::endl;
        for (Uint32 id = 0; id < view.slotCount(); ++id) {
            const Slot slot = view.slot(id);
            std::cout << "\tSlotID: " << id << std::endl;
            if (OrvDataPageView::isEmpty(slot)) {
                std::cout << "\tEmpty Slot" << std::endl;
                continue;
            }
            const unsigned type = slot.recordType;
            if (slot.recordType == OrvDataPageView::PLACEHOLDER) {
                std::cout << "\tRecord Offset (used as Secondary PageId): "
                          << hexAndDecimal(slot.offset) << std::endl
                          << "\tRecord Length (used as Secondary SlotId): " << slot.recordLength
                          << " " << std::endl
                          << "\tRecord Type: PlaceholderTID (" << type << ")" << std::endl;
            } else {
                std::cout << "\tRecord Offset: " << hexAndDecimal(slot.offset) << std::endl
                          << "\tRecord Length: " << slot.recordLength << " Byte" << std::endl
                          << "\tRecord Type: "
                          << (slot.recordType == OrvDataPageView::SECONDARY ? "Secondary Record "
                                                                            : "Primary Record ")
                          << "(" << type << ")" << std::endl;
            }
            std::cout << "\t------------------------" << std::endl;
        }
        printHexDump(frame.getPageData());
    }
    std::cout << "END PAGE DUMP" << std::endl << std::endl;
}
