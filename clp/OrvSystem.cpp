#include "OrvSystem.h"

#include "OrvException.h"
#include "support/OrvTrace.h"

void OrvSystem::start() { ORV_TRACE(CommandLine); }

void OrvSystem::stop(bool /*force*/) { ORV_TRACE(CommandLine); }

void OrvSystem::stopAllManagers() { ORV_TRACE(CommandLine); }
