// The database directory, from ORV_DATABASE_PATH.
#ifndef ORV_DATABASE_PATH_H
#define ORV_DATABASE_PATH_H

#include "OrvConfig.h"

#include <cstdlib>

// The text of ORV_DATABASE_PATH, or "." when it is unset. An empty value names
// no directory; it counts as unset too, so that the segment files and the
// keys of the shared memory sets always agree on one directory.
inline const char* orvDatabasePath() {
    const char* path = std::getenv("ORV_DATABASE_PATH");
    return path == nullptr || *path == '\0' ? ORV_DEFAULT_DATABASE_PATH : path;
}

#endif
