// Helpers shared by the benchmarks.
#ifndef ORV_BENCH_SUPPORT_H
#define ORV_BENCH_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orvbench {

// Makes a fresh database directory under /tmp and points ORV_DATABASE_PATH at
// it. Ends the process when the directory cannot be made: a benchmark without
// its database would measure nothing.
inline std::string makeDatabaseDirectory() {
    char pattern[] = "/tmp/orv-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    setenv("ORV_DATABASE_PATH", pattern, 1);
    return pattern;
}

} // namespace orvbench

#endif
