// OrvDebug: the process's registry of debug commands and debug variables.
//
// Components publish commands (functions that dump or reset internal state)
// and variables (unsigned integers to inspect or set) under a name and a help
// text; an interactive front end lists them and calls them by name. Nothing
// in the engine looks entries up itself.
//
// Lifetime: both lists exist before main runs (and may be used from static
// initialisers) and live until the process ends. Entries are never removed;
// a name registered twice has two entries, the newer one first.
//
// Process safety: per process, used by its single thread.
#ifndef ORV_DEBUG_H
#define ORV_DEBUG_H

#include "OrvTypes.h"

#include <list>
#include <string>
#include <vector>

// A debug command. Its argument holds the command's arguments separated by
// single blanks, or is null or empty when there are none.
typedef void orv_dbgfunc(const std::string* args);

// One registry entry. The texts are not copied: they must be literals or
// otherwise live as long as the process.
struct OrvDebugData {
    const char* name;
    const char* doc;      // help text, may be empty
    Uint32* var;          // the variable of a variable entry, else null
    orv_dbgfunc* func;    // the command of a command entry, else null
    orv_dbgfunc* rstfunc; // resets what the command shows; may be null
};

class OrvDebug {
public:
    typedef std::list<OrvDebugData> EntryList;

    // Adds a variable entry at the front of the variable list. Never fails and
    // never checks for duplicates.
    static void registerDebugVariable(Uint32* var, const char* name, const char* doc);
    // Adds a command entry at the front of the command list. Never fails and
    // never checks for duplicates.
    static void registerFunction(orv_dbgfunc* func, orv_dbgfunc* resetfunc, const char* name,
                                 const char* doc);

    // The lists, newest entry first. References and entry pointers stay valid
    // for the life of the process.
    static const EntryList& debugvariables();
    static const EntryList& functions();

    // The newest entry of that name in `entries`, or null.
    static const OrvDebugData* find(const EntryList& entries, const char* name);

    // The arguments of a debug command, split at every single blank: two
    // blanks in a row give an empty field, so a command can refuse them.
    // Null or empty arguments give no field. Every command splits its
    // arguments here, so they all read them alike.
    static std::vector<std::string> splitArguments(const std::string* args);
};

#endif
