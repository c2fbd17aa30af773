// Named measures kept in vectors indexed by an enumeration, chained so that a
// profiler can keep counters and timers side by side and render them as XML.
//
// A profiler derives from a chain, for example
//   VectorOfCounters<Counters, VectorOfTimers<Timers>>
// and names its elements in its constructor. The tag argument of
// setElementName and getMeasureValueReference (a default-constructed measure)
// selects the vector of that measure type in the chain.
//
// Per process and unsynchronised. A reference returned by
// getMeasureValueReference stays valid until an element with a higher index
// is first used (the vector may then move).
#ifndef ORV_PROFILING_VECTOR_OF_MEASURES_H
#define ORV_PROFILING_VECTOR_OF_MEASURES_H

#include "OrvError.h"
#include "support/OrvTrace.h"
#include "support/profiling/Counter.h"
#include "support/profiling/Timer.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace support {

// Ends a chain; contributes nothing to the XML.
class NoVectorOfMeasures {
public:
    std::string getXML() const {
        ORV_TRACE(Support);
        return std::string();
    }

protected:
    // Anchors for the using-declarations of the vectors above; no measure has
    // this type, so they are never chosen.
    struct NoMeasure {};
    void setElementName(NoMeasure) = delete;
    void getMeasureValueReference(NoMeasure) = delete;
};

template <typename Enumeration, typename Measure, typename Next = NoVectorOfMeasures>
class VectorOfMeasures : public Next {
    static_assert(std::is_enum<Enumeration>::value, "measures are indexed by an enumeration");

public:
    // Indexes at or above this bound (or negative) are rejected: no profiler
    // has that many elements, and growing the vector to such an index would
    // exhaust the memory.
    static constexpr std::size_t MAX_ELEMENTS = 4096;

    using Next::getMeasureValueReference;
    using Next::setElementName;

    // Grows the vector to index + 1 if needed; names the element only if it
    // has no name yet.
    void setElementName(Enumeration index, const std::string& name, const Measure& /*tag*/) {
        ORV_TRACE(Support);
        if (!reserve(index, __LINE__)) {
            return;
        }
        std::string& current = elements[toPosition(index)].second;
        if (current.empty()) {
            current = name;
        }
    }

    // Grows the vector to index + 1 if needed and returns the element's
    // measure. A rejected index gets a scratch measure that is never rendered.
    Measure& getMeasureValueReference(Enumeration index, const Measure& /*tag*/) {
        ORV_TRACE(Support);
        if (!reserve(index, __LINE__)) {
            return scratch;
        }
        return elements[toPosition(index)].first;
    }

    // "<Type>\n", one line per named element (its name cut after the last
    // ':'), "</Type>\n", then the rest of the chain.
    std::string getXML() const {
        ORV_TRACE(Support);
        const std::string type = Measure::getTypeName();
        std::string xml = "<" + type + ">\n";
        for (const std::pair<Measure, std::string>& element : elements) {
            if (element.second.empty()) {
                continue;
            }
            std::size_t colon = element.second.rfind(':');
            std::string shortName =
                colon == std::string::npos ? element.second : element.second.substr(colon + 1);
            xml += element.first.getXML(shortName) + "\n";
        }
        xml += "</" + type + ">\n";
        xml += Next::getXML();
        return xml;
    }

private:
    static std::size_t toPosition(Enumeration index) { return static_cast<std::size_t>(index); }

    // Makes room for index; false (with ORV_PARAMETER_FAIL recorded) when the
    // index is out of range.
    bool reserve(Enumeration index, Uint32 line) {
        long long raw =
            static_cast<long long>(static_cast<std::underlying_type_t<Enumeration>>(index));
        if (raw < 0 || static_cast<unsigned long long>(raw) >= MAX_ELEMENTS) {
            OrvError* error = OrvError::getErrorObject();
            error->setError(Support, ORV_PARAMETER_FAIL);
            error->addTraceRecord(__FILE__, __PRETTY_FUNCTION__, line);
            return false;
        }
        if (elements.size() <= toPosition(index)) {
            elements.resize(toPosition(index) + 1);
        }
        return true;
    }

    std::vector<std::pair<Measure, std::string>> elements;
    Measure scratch;
};

template <typename Enumeration, typename Next = NoVectorOfMeasures>
using VectorOfTimers = VectorOfMeasures<Enumeration, profiling::Timer, Next>;

template <typename Enumeration, typename Next = NoVectorOfMeasures>
using VectorOfCounters = VectorOfMeasures<Enumeration, profiling::Counter, Next>;

} // namespace support

#endif
