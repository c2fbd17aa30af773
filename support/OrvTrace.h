// Function tracing and per-function timings.
//
// Every public operation opens a scope with ORV_TRACE(component) on entry.
// With ORV_TRACE_FILE or ORV_PERF_FILE set, the scope writes the entry and exit
// of the function as nested XML-like lines and adds to the function's timings.
// With both unset a scope costs one load and one test.
//
// Per process: each process has its own manager, configured once from the
// environment by its first scope, and its own output files.
#ifndef ORV_TRACE_H
#define ORV_TRACE_H

#include "OrvComponents.h"
#include "OrvTypes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <sys/time.h>

// Seconds and microseconds; constructed from the current time of day.
class TimeValue {
public:
    TimeValue();
    TimeValue(long seconds, long microseconds);
    TimeValue operator+(const TimeValue& other) const;
    // Never negative: a negative difference gives zero.
    TimeValue operator-(const TimeValue& other) const;
    TimeValue& operator+=(const TimeValue& other);
    void setZero();
    long seconds() const { return value.tv_sec; }
    long microseconds() const { return value.tv_usec; }

private:
    timeval value;
};

struct PerFunctionTimings {
    Uint32 numCalled = 0;
    Uint32 nestingLevel = 0;
    TimeValue totalTime{0, 0};
    TimeValue entryTime{0, 0};
};

struct StringLessThan {
    bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

// The manager's storage comes from the C heap, so that tracing never depends on
// (or shows up in) the general allocation operators.
template <typename T> struct OrvMallocAllocator {
    typedef T value_type;
    OrvMallocAllocator() = default;
    template <typename U> OrvMallocAllocator(const OrvMallocAllocator<U>&) {}
    T* allocate(std::size_t n) {
        void* p = std::malloc(n * sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { std::free(p); }
    template <typename U> bool operator==(const OrvMallocAllocator<U>&) const { return true; }
    template <typename U> bool operator!=(const OrvMallocAllocator<U>&) const { return false; }
};

class OrvTraceManager {
public:
    static constexpr int TRACE_INDENT_STEP = 4;

    // The process's manager, made (and configured) on the first call.
    static OrvTraceManager* getInstance() {
        return instance != nullptr ? instance : createInstance();
    }

    bool isComponentActive(OrvComponent component) const {
        if (traceFile == nullptr && performanceFile == nullptr) {
            return false;
        }
        return traceMask == 0 || (traceMask & (1u << component)) != 0;
    }

    // Tracing never raises: a timing entry that cannot be allocated is left
    // out (the function then goes without timings).
    void writeStartOfFunction(const char* name) noexcept;
    // leftByException tells whether an exception is leaving the function.
    void writeEndOfFunction(const char* name, bool leftByException) noexcept;
    void writeTraceRecord(const char* name, Sint32 tracePoint, const char* description,
                          const char* text);
    void writeTraceRecord(const char* name, Uint16 tracePoint, Uint32 length1, const void* data1,
                          Uint32 length2, const void* data2, Uint32 length3, const void* data3);

    Uint16 getTraceMask() const { return traceMask; }
    bool getTraceFlush() const { return traceFlush; }

    static void* operator new(std::size_t size);
    static void operator delete(void* p);

private:
    OrvTraceManager();
    ~OrvTraceManager();
    static OrvTraceManager* createInstance();
    void writeReport();
    void writeBlock(Uint32 length, const Uint8* data);
    void flushIfAsked();

    typedef std::map<const char*, PerFunctionTimings, StringLessThan,
                     OrvMallocAllocator<std::pair<const char* const, PerFunctionTimings>>>
        TimingMap;

    std::FILE* traceFile;
    std::FILE* performanceFile;
    Uint16 indent;
    TimingMap performanceInfo;
    Uint16 traceMask;
    bool traceFlush;

    static OrvTraceManager* instance;
};

// One trace scope: the entry of a function, closed by its destructor. The
// tracer's own operations (and TimeValue's) open no scope: they would trace
// themselves without end.
class OrvTrace {
public:
    OrvTrace(OrvComponent component, const char* function) : functionName(function) {
        OrvTraceManager* manager = OrvTraceManager::getInstance();
        traceMgr = manager->isComponentActive(component) ? manager : nullptr;
        if (traceMgr != nullptr) {
            exceptionsAtEntry = std::uncaught_exceptions();
            traceMgr->writeStartOfFunction(functionName);
        }
    }
    ~OrvTrace() {
        if (traceMgr != nullptr) {
            // An exception thrown since the entry is leaving this function; one
            // that was already in flight at the entry (a function called from a
            // destructor during unwinding) is not.
            traceMgr->writeEndOfFunction(functionName,
                                         std::uncaught_exceptions() > exceptionsAtEntry);
        }
    }
    OrvTrace(const OrvTrace&) = delete;
    OrvTrace& operator=(const OrvTrace&) = delete;

    void traceNumber(Uint16 tracePoint, const char* description, Uint32 value);
    void traceNumber(Uint16 tracePoint, const char* description, Sint32 value);
    void traceNumber(Uint16 tracePoint, const char* description, double value);
    void traceString(Uint16 tracePoint, const char* text);
    // Up to three blocks of raw bytes; a null block is skipped.
    void traceData(Uint16 tracePoint, Uint32 length1, const void* data1, Uint32 length2 = 0,
                   const void* data2 = nullptr, Uint32 length3 = 0, const void* data3 = nullptr);

    bool isActive() const { return traceMgr != nullptr; }

private:
    const char* functionName;
    OrvTraceManager* traceMgr;
    int exceptionsAtEntry = 0;
};

// Opens the trace scope `orvTrace` of the enclosing function.
#define ORV_TRACE(component) OrvTrace orvTrace((component), __PRETTY_FUNCTION__)

#endif
