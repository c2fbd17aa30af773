// orvshow: the front end of the debug registry, and pictures of index trees
// and data pages, for the database in ORV_DATABASE_PATH (default: the
// working directory). Run `orvshow --help` for the usage.
//
// Everything runs inside one transaction of this process, committed when all
// went well and rolled back otherwise, so that the locks a dump takes (they
// are transaction locks) never outlive the program.
#include "OrvBuffer.h"
#include "OrvCatalogManager.h"
#include "OrvDebug.h"
#include "OrvError.h"
#include "OrvException.h"
#include "OrvIndexManager.h"
#include "OrvLock.h"
#include "OrvLog.h"
#include "OrvRecordManager.h"
#include "OrvSystem.h"
#include "OrvTransaction.h"
#include "clp/OrvShowDot.h"
#include "support/OrvDatabasePath.h"
#include "support/OrvDecimalText.h"
#include "support/OrvTrace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The picture limits, as debug variables of this program: set them in front
// of the picture they should change ("orvshow dot_depth=2 --dot tree 5").
Uint32 dotDepth = orvshow::DotLimits().treeDepth;
Uint32 dotKeys = orvshow::DotLimits().keysPerPage;
Uint32 dotBytes = orvshow::DotLimits().recordBytes;

// The arguments the registered commands take, and what the commands without
// a help text of their own show. The registry's help texts say what a
// command shows, some nothing at all; a newcomer also needs to know what to
// type.
struct CommandNotes {
    const char* arguments;
    const char* about; // for commands registered without a help text
};
const std::map<std::string, CommandNotes> NOTES = {
    {"BM_STATS",
     {"[pages | lru | hashmap]   (none: the hit ratios)",
      "Buffer pool: hit ratios, or its pages, LRU list or hash map"}},
    {"LM_STATS",
     {"[all transactions | current transaction | waitinglist | hashmap]",
      "Lock list: the locks of all transactions or of this one, the waiting list"}},
    {"LOG_PRINT",
     {"LISTLSN <log file number> | SHOWLOG <transaction id> | SHOWLOG <first LSN> <last LSN>",
      "Log: the LSNs of a log file, or the entries of a transaction or an LSN range"}},
    {"index_all", {"info|dump <index id>", ""}},
    {"index_leafs", {"info|dump <index id>", ""}},
    {"index_page", {"info|dump <index id> <page id>", ""}},
    {"index_pages", {"info|dump <index id> <first page id> <last page id>", ""}},
    {"index_fsi", {"info|dump <index id>", ""}},
    {"table_all", {"info|dump <table name>", ""}},
    {"table_page", {"info|dump <table name> <page id>", ""}},
    {"table_pages", {"info|dump <table name> <first page id> <last page id>", ""}},
    {"transactionId", {"", ""}},
};

void usage(std::ostream& os, const char* program) {
    os << "Usage: " << program << "                       list the debug commands and variables\n"
       << "       " << program << " NAME [ARGS...]        run a debug command\n"
       << "       " << program
       << " NAME=VALUE... [...]   set debug variables, then run what follows\n"
       << "       " << program << " --reset NAME          run the reset of a command (BM_STATS)\n"
       << "       " << program << " --dot tree INDEX [--svg FILE]\n"
       << "       " << program << " --dot page TABLE PAGE [--svg FILE]\n"
       << "       " << program << " --help\n"
       << "\n"
       << "The engine must be started (orvstart) for the database in ORV_DATABASE_PATH\n"
       << "(default: the working directory). The arguments of a command are passed to it\n"
       << "joined by single blanks, e.g.\n"
       << "  " << program << " BM_STATS pages\n"
       << "  " << program << " LM_STATS all transactions\n"
       << "  " << program << " LOG_PRINT LISTLSN 1\n"
       << "  " << program << " index_all dump 5\n"
       << "A debug variable lives in this process only: set it in front of the command\n"
       << "it should change.\n"
       << "\n"
       << "--dot writes a picture in Graphviz's DOT language to standard output: the\n"
       << "B-tree of index INDEX (its name or id) or data page PAGE of table TABLE (its\n"
       << "name, or its segment, which is the table id). With --svg FILE it is rendered to FILE "
          "by\n"
       << "Graphviz's dot program instead. The variables dot_depth, dot_keys and\n"
       << "dot_bytes limit what a picture shows.\n"
       << "\n"
       << "Exit code 0 on success; 1 with a message and its SQLSTATE on standard error\n"
       << "when the engine is not started, a name is unknown, an argument is wrong or\n"
       << "the command failed.\n";
}

[[noreturn]] void badArguments(const std::string& what) {
    ORV_THROW(ORV_SHOW_INVALID_ARGUMENTS, what);
}

Uint64 number(const std::string& text, Uint64 maximum, const char* what) {
    std::size_t pos = 0;
    Uint64 value = 0;
    if (!OrvDecimalText::readUnsigned(text, pos, maximum, value) || pos != text.size()) {
        badArguments(std::string(what) + " '" + text + "' is no number from 0 to " +
                     std::to_string(maximum));
    }
    return value;
}

// Makes the managers of this process, so that every component has
// registered its commands (the catalog manager is made in the transaction).
// The engine must be started.
void createManagers() {
    OrvTransactionManager::getInstance();
    OrvLockManager::getInstance();
    OrvBufferManager::getInstance();
    OrvLogManager::getInstance();
    OrvRecordManager::getInstance();
    OrvIndexManager::getInstance();
}

// The newest entry of each name, sorted by name.
std::vector<const OrvDebugData*> newestByName(const OrvDebug::EntryList& entries) {
    std::map<std::string, const OrvDebugData*> byName;
    for (const OrvDebugData& entry : entries) {
        byName.emplace(entry.name, &entry); // newest first: the first one stays
    }
    std::vector<const OrvDebugData*> out;
    for (const auto& named : byName) {
        out.push_back(named.second);
    }
    return out;
}

void list() {
    std::cout << "Debug commands (orvshow NAME ARGS...):\n";
    for (const OrvDebugData* entry : newestByName(OrvDebug::functions())) {
        std::cout << "  " << entry->name;
        if (entry->rstfunc != nullptr) {
            std::cout << "   (orvshow --reset " << entry->name << " resets it)";
        }
        const auto known = NOTES.find(entry->name);
        const char* about = "(no help text)";
        if (entry->doc != nullptr && *entry->doc != '\0') {
            about = entry->doc;
        } else if (known != NOTES.end() && *known->second.about != '\0') {
            about = known->second.about;
        }
        std::cout << "\n      " << about << "\n";
        if (known != NOTES.end()) {
            const char* arguments = known->second.arguments;
            std::cout << "      arguments: " << (*arguments != '\0' ? arguments : "none") << "\n";
        }
    }
    std::cout << "\nDebug variables (orvshow NAME=VALUE ...):\n";
    const std::vector<const OrvDebugData*> variables = newestByName(OrvDebug::debugvariables());
    if (variables.empty()) {
        std::cout << "  (none)\n";
    }
    for (const OrvDebugData* entry : variables) {
        std::cout << "  " << entry->name << " = " << *entry->var << "\n      "
                  << (entry->doc != nullptr && *entry->doc != '\0' ? entry->doc : "(no help text)")
                  << "\n";
    }
    std::cout << std::flush;
}

// Runs a registered command; true when it recorded neither an error nor a
// warning (a dump that finds nothing records ORV_NOT_FOUND_WARN).
bool runCommand(const OrvDebugData& entry, orv_dbgfunc* function,
                const std::vector<std::string>& words) {
    std::string joined;
    for (std::size_t i = 0; i < words.size(); ++i) {
        joined += (i == 0 ? "" : " ") + words[i];
    }
    // The commands catch their own failures and print them; the error
    // object tells whether one happened.
    OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
    function(words.empty() ? nullptr : &joined);
    std::fflush(stdout);
    std::cout.flush();
    const OrvErrorCode code = OrvGetErrorCode();
    if (code == ORV_SUCCESS) {
        return true;
    }
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
    OrvError::getErrorObject()->getError(message, sizeof(message), sqlstate);
    std::cerr << "\nThe command " << entry.name << " failed: " << message
              << " SQLSTATE=" << sqlstate << std::endl;
    return false;
}

// Feeds `dot` to Graphviz's dot program, which writes an SVG file.
void renderSvg(const std::string& dot, const std::string& file) {
    int input[2];
    if (pipe(input) != 0) {
        ORV_THROW(ORV_SHOW_RENDER_FAIL, file, std::strerror(errno));
    }
    std::cout.flush();
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(input[0]);
        close(input[1]);
        ORV_THROW(ORV_SHOW_RENDER_FAIL, file, std::strerror(error));
    }
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        close(input[0]);
        close(input[1]);
        execlp("dot", "dot", "-Tsvg", "-o", file.c_str(), static_cast<char*>(nullptr));
        // 127, as a shell says of a program it cannot find.
        _exit(127);
    }
    close(input[0]);
    std::size_t done = 0;
    bool writeFailed = false;
    while (done < dot.size()) {
        const ssize_t n = write(input[1], dot.data() + done, dot.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            writeFailed = true;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(input[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        ORV_THROW(ORV_SHOW_RENDER_FAIL, file,
                  "Graphviz's dot program could not be run (is graphviz installed?)");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || writeFailed) {
        ORV_THROW(ORV_SHOW_RENDER_FAIL, file, "dot failed with status " + std::to_string(status));
    }
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A name of the catalog: as given, else in upper case (the way the table
// dumps take names). Not there: `missing` with the name.
template <class Id, class Lookup>
Id catalogId(const std::string& name, OrvErrorCode missing, Lookup lookup) {
    Id id = 0;
    OrvErrorCode code = lookup(name, id);
    if (code == ORV_NOT_FOUND_WARN) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        code = lookup(upper, id);
    }
    if (code == ORV_NOT_FOUND_WARN) {
        ORV_THROW(missing, name);
    }
    ORV_RAISE(code);
    return id;
}

// An index id, or the name of an index.
IndexId indexOf(const std::string& text) {
    if (isNumber(text) || text.empty()) {
        return static_cast<IndexId>(number(text, ORV_MAX_INDEX_ID, "The index id"));
    }
    return catalogId<IndexId>(text, ORV_COMPILER_INDEX_NOT_EXISTS,
                              [](const std::string& name, IndexId& id) {
                                  return OrvCatalogManager::getInstance()->getIndexId(name, id);
                              });
}

// A segment number, or the name of a table (whose segment is its id).
SegmentId segmentOf(const std::string& text) {
    if (isNumber(text) || text.empty()) {
        return static_cast<SegmentId>(number(text, ORV_MAX_UINT16, "The segment"));
    }
    return catalogId<TableId>(text, ORV_COMPILER_TABLE_NOT_EXISTS,
                              [](const std::string& name, TableId& id) {
                                  return OrvCatalogManager::getInstance()->getTableId(name, id);
                              });
}

void picture(const std::vector<std::string>& words) {
    std::vector<std::string> rest;
    std::string svg;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--svg") {
            if (i + 1 >= words.size() || !svg.empty()) {
                badArguments("--svg needs one file name");
            }
            svg = words[++i];
        } else {
            rest.push_back(words[i]);
        }
    }
    orvshow::DotLimits limits;
    limits.treeDepth = dotDepth;
    limits.keysPerPage = dotKeys;
    limits.recordBytes = dotBytes;
    std::ostringstream dot;
    if (rest.size() == 2 && rest[0] == "tree") {
        const IndexId index = indexOf(rest[1]);
        const SegmentId segment = OrvBufferManager::getInstance()->convertIndexIdToSegmentId(index);
        if (segment == 0) {
            badArguments("the index id " + rest[1] + " is not from " +
                         std::to_string(ORV_MIN_INDEX_ID) + " to " +
                         std::to_string(ORV_MAX_INDEX_ID));
        }
        orvshow::writeTreeDot(dot, segment,
                              "index " + rest[1] + " (segment " + std::to_string(segment) + ")",
                              limits);
    } else if (rest.size() == 3 && rest[0] == "page") {
        const SegmentId segment = segmentOf(rest[1]);
        const PageId page = static_cast<PageId>(number(rest[2], ORV_MAX_PAGE_ID, "The page id"));
        if (segment == 0) {
            badArguments("segment 0 does not exist");
        }
        orvshow::writePageDot(dot, segment, page, limits);
    } else {
        badArguments("--dot takes 'tree INDEX' or 'page TABLE PAGE'");
    }
    if (svg.empty()) {
        std::cout << dot.str() << std::flush;
    } else {
        renderSvg(dot.str(), svg);
        std::cout << "Wrote " << svg << std::endl;
    }
}

const OrvDebugData* assign(const std::string& word) {
    const std::size_t eq = word.find('=');
    const std::string name = word.substr(0, eq);
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::debugvariables(), name.c_str());
    if (entry == nullptr) {
        ORV_THROW(ORV_SHOW_UNKNOWN_NAME, name);
    }
    *entry->var = static_cast<Uint32>(number(word.substr(eq + 1), ORV_MAX_UINT32, "The value"));
    return entry;
}

// The index commands dump an index this process has opened, and a fresh
// process has opened none: open the one named (under a shared lock on its
// segment, kept until the transaction ends). A failure to open it (no such
// index) is the failure of the command.
void openIndexOf(const std::vector<std::string>& words) {
    if (words.size() < 3 || words[0].compare(0, 6, "index_") != 0) {
        return; // the command itself refuses the arguments
    }
    std::size_t pos = 0;
    Uint64 id = 0;
    if (!OrvDecimalText::readUnsigned(words[2], pos, ORV_MAX_INDEX_ID, id) ||
        pos != words[2].size() || id < ORV_MIN_INDEX_ID) {
        return;
    }
    OrvIndexManager::getInstance()->openIndex(static_cast<IndexId>(id), false, BTree, INTEGER);
}

// The work of one run, inside the transaction; true on success.
bool run(std::vector<std::string> words) {
    // Leading assignments first, so that they change what follows.
    // They print nothing when a command follows, so that a picture on
    // standard output stays pure DOT.
    std::vector<const OrvDebugData*> assigned;
    while (!words.empty() && words.front().find('=') != std::string::npos &&
           words.front().compare(0, 2, "--") != 0) {
        assigned.push_back(assign(words.front()));
        words.erase(words.begin());
    }
    if (words.empty()) {
        for (const OrvDebugData* entry : assigned) {
            std::cout << entry->name << " = " << *entry->var << std::endl;
        }
        return true;
    }
    if (words[0] == "--dot") {
        picture(std::vector<std::string>(words.begin() + 1, words.end()));
        return true;
    }
    if (words[0] == "--reset") {
        if (words.size() != 2) {
            badArguments("--reset takes one command name");
        }
        const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), words[1].c_str());
        if (entry == nullptr) {
            ORV_THROW(ORV_SHOW_UNKNOWN_NAME, words[1]);
        }
        if (entry->rstfunc == nullptr) {
            badArguments(words[1] + " has no reset");
        }
        return runCommand(*entry, entry->rstfunc, {});
    }
    if (words[0].compare(0, 1, "-") == 0) {
        badArguments("unknown option " + words[0]);
    }
    const OrvDebugData* entry = OrvDebug::find(OrvDebug::functions(), words[0].c_str());
    if (entry == nullptr) {
        const OrvDebugData* variable = OrvDebug::find(OrvDebug::debugvariables(), words[0].c_str());
        if (variable == nullptr) {
            ORV_THROW(ORV_SHOW_UNKNOWN_NAME, words[0]);
        }
        if (words.size() != 1) {
            badArguments(words[0] + " is a variable: give it as " + words[0] + "=VALUE");
        }
        std::cout << variable->name << " = " << *variable->var << std::endl;
        return true;
    }
    openIndexOf(words);
    return runCommand(*entry, entry->func,
                      std::vector<std::string>(words.begin() + 1, words.end()));
}

// Made inside the transaction: the catalog manager opens the catalog's
// indexes under shared locks of the current transaction, which end with it.
// A catalog that cannot be opened (damaged, or never made) is said once; the
// dumps that do not need it still run.
void openCatalog() {
    try {
        OrvCatalogManager::getInstance();
    } catch (const OrvException& e) {
        std::cerr << "orvshow: the catalog could not be opened; commands and pictures that "
                     "look up names will fail.";
        e.print_message(std::cerr);
        OrvError::getErrorObject()->setError(CommandLine, ORV_SUCCESS);
    }
}

void printInternal(const std::exception& e) {
    OrvError* error = OrvError::getErrorObject();
    error->setError(CommandLine, ORV_INTERNAL_FAIL);
    char message[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
    char sqlstate[ORV_SQLSTATE_LENGTH + 1] = {};
    error->getError(message, sizeof(message), sqlstate);
    std::cerr << "\n" << message << " (" << e.what() << ") SQLSTATE=" << sqlstate << std::endl;
}

} // namespace

int main(int argc, char* argv[]) {
    ORV_TRACE(CommandLine);
    OrvException::SETUP();
    OrvError error;
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.size() == 1 && (words[0] == "--help" || words[0] == "-h")) {
        usage(std::cout, argv[0]);
        return 0;
    }
    // A reader that stops early (orvshow ... | head) must not kill this
    // process while it holds locks: a write then fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    OrvDebug::registerDebugVariable(&dotDepth, "dot_depth",
                                    "Levels of an index tree that --dot draws page by page");
    OrvDebug::registerDebugVariable(&dotKeys, "dot_keys", "Keys of one tree page that --dot shows");
    OrvDebug::registerDebugVariable(&dotBytes, "dot_bytes",
                                    "Bytes of one record that --dot page shows");
    bool ok = false;
    try {
        try {
            createManagers();
        } catch (const OrvException& e) {
            e.print_message(std::cerr);
            if (e.getErrorCode() == ORV_MM_SHM_NOT_EXISTS) {
                std::cerr << "The engine is not started for the database directory '"
                          << orvDatabasePath() << "': run orvstart first." << std::endl;
            }
            OrvSystem::stopAllManagers();
            return 1;
        }
        OrvClientTransaction::begin();
        OrvTransactionGuard transaction;
        try {
            openCatalog();
            if (words.empty()) {
                list();
                ok = true;
            } else {
                ok = run(words);
            }
        } catch (const OrvException& e) {
            std::cout.flush();
            std::fflush(stdout);
            e.print_message(std::cerr);
            ok = false;
        }
        if (ok) {
            transaction.commit();
        } else {
            transaction.rollback();
        }
    } catch (const OrvException& e) {
        e.print_message(std::cerr);
        ok = false;
    } catch (const std::exception& e) {
        // Out of memory, or a failure of the standard library: still a
        // message with a SQLSTATE, and the managers are taken down.
        printInternal(e);
        ok = false;
    }
    OrvSystem::stopAllManagers();
    return ok ? 0 : 1;
}
