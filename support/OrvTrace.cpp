#include "support/OrvTrace.h"

#include "OrvError.h"

#include <cctype>
#include <exception>
#include <new>

OrvTraceManager* OrvTraceManager::instance = nullptr;

// ---- TimeValue -------------------------------------------------------------

TimeValue::TimeValue() {
    gettimeofday(&value, nullptr);
}

TimeValue::TimeValue(long seconds, long microseconds) {
    value.tv_sec = seconds;
    value.tv_usec = microseconds;
}

TimeValue TimeValue::operator+(const TimeValue& other) const {
    TimeValue sum(value.tv_sec + other.value.tv_sec, value.tv_usec + other.value.tv_usec);
    if (sum.value.tv_usec > 999999) {
        sum.value.tv_sec += 1;
        sum.value.tv_usec -= 1000000;
    }
    return sum;
}

TimeValue TimeValue::operator-(const TimeValue& other) const {
    TimeValue difference(value.tv_sec - other.value.tv_sec, value.tv_usec - other.value.tv_usec);
    if (difference.value.tv_usec < 0) {
        difference.value.tv_sec -= 1;
        difference.value.tv_usec += 1000000;
    }
    if (difference.value.tv_sec < 0) {
        difference.setZero();
    }
    return difference;
}

TimeValue& TimeValue::operator+=(const TimeValue& other) {
    *this = *this + other;
    return *this;
}

void TimeValue::setZero() {
    value.tv_sec = 0;
    value.tv_usec = 0;
}

// ---- OrvTraceManager: configuration ----------------------------------------

namespace {

// "stdout" and "stderr" name the standard streams; anything else is a path.
std::FILE* openOutput(const char* setting, bool& failed) {
    failed = false;
    if (setting == nullptr || *setting == '\0') {
        return nullptr;
    }
    if (std::strcmp(setting, "stdout") == 0) {
        return stdout;
    }
    if (std::strcmp(setting, "stderr") == 0) {
        return stderr;
    }
    std::FILE* file = std::fopen(setting, "wb");
    failed = file == nullptr;
    return file;
}

struct MaskKeyword {
    const char* keyword;
    std::size_t compared;
    Uint16 bit;
};

// Checked in this order; the first keyword matching the element's start wins.
const MaskKeyword maskKeywords[] = {
    {"CommandLine", 4, 0x001}, {"clp", 3, 0x001},     {"Compiler", 4, 0x002},
    {"Optimizer", 3, 0x004},   {"Catalog", 3, 0x008}, {"RunTime", 3, 0x010},
    {"Record", 3, 0x020},      {"Index", 3, 0x040},   {"Lock", 4, 0x080},
    {"Log", 3, 0x100},         {"Buffer", 4, 0x200},  {"File", 4, 0x400},
    {"Support", 4, 0x800},
};

Uint16 parseMask(const char* text) {
    Uint16 mask = 0;
    if (text == nullptr) {
        return mask;
    }
    const char* element = text;
    while (true) {
        for (const MaskKeyword& k : maskKeywords) {
            if (std::strncmp(element, k.keyword, k.compared) == 0) {
                mask |= k.bit;
                break;
            }
        }
        const char* comma = std::strchr(element, ',');
        if (comma == nullptr) {
            break;
        }
        element = comma + 1;
    }
    return mask;
}

bool isStandardStream(std::FILE* file) {
    return file == stdout || file == stderr;
}

} // namespace

void* OrvTraceManager::operator new(std::size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void OrvTraceManager::operator delete(void* p) {
    std::free(p);
}

OrvTraceManager* OrvTraceManager::createInstance() {
    // Never deleted: the files are closed by the end of the process.
    instance = new OrvTraceManager();
    return instance;
}

OrvTraceManager::OrvTraceManager()
    : traceFile(nullptr), performanceFile(nullptr), indent(0), traceMask(0), traceFlush(false) {
    bool failed = false;
    traceFile = openOutput(std::getenv("ORV_TRACE_FILE"), failed);
    if (failed) {
        return;
    }
    performanceFile = openOutput(std::getenv("ORV_PERF_FILE"), failed);
    if (failed) {
        return;
    }
    traceMask = parseMask(std::getenv("ORV_TRACE_MASK"));
    const char* flush = std::getenv("ORV_TRACE_FLUSH");
    traceFlush = flush != nullptr && *flush != '\0' && *flush != '0';
}

OrvTraceManager::~OrvTraceManager() {
    if (traceFile != nullptr && !isStandardStream(traceFile)) {
        std::fclose(traceFile);
    }
    if (performanceFile != nullptr && !isStandardStream(performanceFile)) {
        std::fclose(performanceFile);
    }
    performanceInfo.clear();
}

void OrvTraceManager::flushIfAsked() {
    if (traceFlush && traceFile != nullptr) {
        std::fflush(traceFile);
    }
}

// ---- OrvTraceManager: output -----------------------------------------------

void OrvTraceManager::writeStartOfFunction(const char* name) noexcept {
    if (traceFile != nullptr) {
        std::fprintf(traceFile, "%*s<Function name=\"%s\" >\n", indent * TRACE_INDENT_STEP, "",
                     name);
        ++indent;
        flushIfAsked();
    }
    if (performanceFile != nullptr) {
        try {
            PerFunctionTimings& timings = performanceInfo[name];
            ++timings.numCalled;
            if (++timings.nestingLevel == 1) {
                if (timings.numCalled == 1) {
                    timings.totalTime.setZero();
                }
                timings.entryTime = TimeValue();
            }
        } catch (const std::bad_alloc&) {
            // No memory for a new entry: this function goes without timings.
        }
    }
}

void OrvTraceManager::writeEndOfFunction(const char* name, bool leftByException) noexcept {
    if (traceFile != nullptr) {
        int width = indent * TRACE_INDENT_STEP;
        OrvErrorCode code = OrvError::peekErrorCode();
        if (code != ORV_SUCCESS) {
            std::fprintf(traceFile, "%*s<ExitCode rc=\"%d\" />\n", width, "",
                         static_cast<int>(code));
        }
        if (leftByException) {
            std::fprintf(traceFile, "%*s<Exception>\n", width, "");
        }
        if (indent > 0) {
            --indent;
        }
        std::fprintf(traceFile, "%*s</Function>\n", indent * TRACE_INDENT_STEP, "");
        flushIfAsked();
    }
    if (performanceFile != nullptr) {
        TimingMap::iterator entry = performanceInfo.find(name);
        if (entry == performanceInfo.end()) {
            return;
        }
        PerFunctionTimings& timings = entry->second;
        if (timings.nestingLevel > 0 && --timings.nestingLevel == 0) {
            timings.totalTime += TimeValue() - timings.entryTime;
            if (std::strncmp(name, "int main", 8) == 0 || std::strncmp(name, "main", 4) == 0) {
                writeReport();
            }
        }
    }
}

void OrvTraceManager::writeReport() {
    std::fprintf(performanceFile, "Function timings:\n");
    std::fprintf(performanceFile, "=================\n");
    for (const auto& entry : performanceInfo) {
        std::fprintf(performanceFile, "%*u calls in %ld.%06ld sec to function \"%s\"\n", 10,
                     entry.second.numCalled, entry.second.totalTime.seconds(),
                     entry.second.totalTime.microseconds(), entry.first);
    }
    std::fflush(performanceFile);
}

void OrvTraceManager::writeTraceRecord(const char* /*name*/, Sint32 tracePoint,
                                       const char* description, const char* text) {
    if (traceFile == nullptr) {
        return;
    }
    std::fprintf(traceFile, "%*s<Probe id=\"%d\" description=\"%s\">%s</Probe>\n",
                 indent * TRACE_INDENT_STEP, "", static_cast<int>(tracePoint),
                 description != nullptr ? description : "", text != nullptr ? text : "");
    flushIfAsked();
}

void OrvTraceManager::writeBlock(Uint32 length, const Uint8* data) {
    int width = indent * TRACE_INDENT_STEP;
    std::fprintf(traceFile, "%*sLength: %u Byte(s)\n", width, "", length);
    std::fprintf(traceFile, "%*sHexadecimal representation", width, "");
    for (Uint32 i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            std::fprintf(traceFile, "\n%*s", width, "");
        }
        std::fprintf(traceFile, "%02X ", data[i]);
    }
    std::fprintf(traceFile, "\n\n");
    std::fprintf(traceFile, "%*sString representation", width, "");
    for (Uint32 i = 0; i < length; ++i) {
        if (i % 50 == 0) {
            std::fprintf(traceFile, "\n%*s", width, "");
        }
        std::fputc(std::isprint(data[i]) ? data[i] : '.', traceFile);
    }
    std::fprintf(traceFile, "\n\n");
}

void OrvTraceManager::writeTraceRecord(const char* /*name*/, Uint16 tracePoint, Uint32 length1,
                                       const void* data1, Uint32 length2, const void* data2,
                                       Uint32 length3, const void* data3) {
    if (traceFile == nullptr) {
        return;
    }
    int width = indent * TRACE_INDENT_STEP;
    std::fprintf(traceFile, "%*s<Data id=\"%hu\"><![CDATA[\n", width, "", tracePoint);
    const void* blocks[3] = {data1, data2, data3};
    const Uint32 lengths[3] = {length1, length2, length3};
    for (int i = 0; i < 3; ++i) {
        if (blocks[i] != nullptr) {
            writeBlock(lengths[i], static_cast<const Uint8*>(blocks[i]));
        }
    }
    std::fprintf(traceFile, "%*s]]></Data>\n", width, "");
    flushIfAsked();
}

// ---- OrvTrace ----------------------------------------------------------------

void OrvTrace::traceNumber(Uint16 tracePoint, const char* description, Uint32 value) {
    if (traceMgr != nullptr) {
        char text[32];
        std::snprintf(text, sizeof(text), "%u", value);
        traceMgr->writeTraceRecord(functionName, tracePoint, description, text);
    }
}

void OrvTrace::traceNumber(Uint16 tracePoint, const char* description, Sint32 value) {
    if (traceMgr != nullptr) {
        char text[32];
        std::snprintf(text, sizeof(text), "%d", value);
        traceMgr->writeTraceRecord(functionName, tracePoint, description, text);
    }
}

void OrvTrace::traceNumber(Uint16 tracePoint, const char* description, double value) {
    if (traceMgr != nullptr) {
        char text[512];
        std::snprintf(text, sizeof(text), "%lf", value);
        traceMgr->writeTraceRecord(functionName, tracePoint, description, text);
    }
}

void OrvTrace::traceString(Uint16 tracePoint, const char* text) {
    if (traceMgr != nullptr) {
        traceMgr->writeTraceRecord(functionName, static_cast<Sint32>(tracePoint), "String", text);
    }
}

void OrvTrace::traceData(Uint16 tracePoint, Uint32 length1, const void* data1, Uint32 length2,
                         const void* data2, Uint32 length3, const void* data3) {
    if (traceMgr != nullptr) {
        traceMgr->writeTraceRecord(functionName, tracePoint, length1, data1, length2, data2,
                                   length3, data3);
    }
}
