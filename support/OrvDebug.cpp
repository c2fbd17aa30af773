#include "OrvDebug.h"

#include "support/OrvTrace.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <cstring>

namespace {

// Function-local statics: made on first use, so a registration from another
// file's static initialiser cannot come before the list exists.
OrvDebug::EntryList& variableList() {
    static OrvDebug::EntryList list;
    return list;
}

OrvDebug::EntryList& functionList() {
    static OrvDebug::EntryList list;
    return list;
}

// Makes both lists before main, so they exist even when nothing registers.
// No trace scope here: tracing must not be configured before main.
const bool listsMade = (variableList(), functionList(), true);

} // namespace

void OrvDebug::registerDebugVariable(Uint32* var, const char* name, const char* doc) {
    ORV_TRACE(Support);
    variableList().push_front(OrvDebugData{name, doc, var, nullptr, nullptr});
}

void OrvDebug::registerFunction(orv_dbgfunc* func, orv_dbgfunc* resetfunc, const char* name,
                                const char* doc) {
    ORV_TRACE(Support);
    functionList().push_front(OrvDebugData{name, doc, nullptr, func, resetfunc});
}

const OrvDebug::EntryList& OrvDebug::debugvariables() {
    ORV_TRACE(Support);
    return variableList();
}

const OrvDebug::EntryList& OrvDebug::functions() {
    ORV_TRACE(Support);
    return functionList();
}

const OrvDebugData* OrvDebug::find(const EntryList& entries, const char* name) {
    ORV_TRACE(Support);
    if (name == nullptr) {
        return nullptr;
    }
    for (const OrvDebugData& entry : entries) {
        if (entry.name != nullptr && std::strcmp(entry.name, name) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

std::vector<std::string> OrvDebug::splitArguments(const std::string* args) {
    ORV_TRACE(Support);
    std::vector<std::string> fields;
    if (args == nullptr || args->empty()) {
        return fields;
    }
    boost::algorithm::split(fields, *args, boost::algorithm::is_any_of(" "));
    return fields;
}
