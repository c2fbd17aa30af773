// libFuzzer target for the log reader: any bytes, read as a log file, must
// neither crash the reader nor make it read outside them, and every entry it
// accepts must be exactly what the writer would have written.
//
//   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DORV_BUILD_FUZZ=ON
//   cmake --build build/fuzz --target orv_log_reader_fuzz
//   build/fuzz/tests/fuzz/orv_log_reader_fuzz tests/fuzz/corpus/log -max_total_time=300
#include "LogReaderCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string failure = orvfuzz::checkLogReader(reinterpret_cast<const char*>(data), size);
    if (!failure.empty()) {
        std::fprintf(stderr, "log reader check failed: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
