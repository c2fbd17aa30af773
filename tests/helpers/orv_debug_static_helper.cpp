// Registers a debug command and a variable from static initialisers, before
// main, and prints the names of both lists in order. Run by OrvDebugTest: an
// entry registered before the registry's lists were made would be lost here.
#include "OrvDebug.h"

#include <iostream>
#include <string>

namespace {

Uint32 staticVariable = 7;

void staticCommand(const std::string*) {}

struct EarlyRegistration {
    EarlyRegistration(const char* name) {
        OrvDebug::registerFunction(&staticCommand, nullptr, name, "registered before main");
        OrvDebug::registerDebugVariable(&staticVariable, name, "");
    }
};

EarlyRegistration first("early_first");
EarlyRegistration second("early_second");

} // namespace

int main() {
    OrvDebug::registerFunction(&staticCommand, nullptr, "in_main", "");
    for (const OrvDebugData& entry : OrvDebug::functions()) {
        std::cout << "function " << entry.name << "\n";
    }
    for (const OrvDebugData& entry : OrvDebug::debugvariables()) {
        std::cout << "variable " << entry.name << " " << *entry.var << "\n";
    }
    return 0;
}
