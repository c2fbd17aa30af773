// Profiling: timers, counters, the measure vectors and their XML, scoped
// timers, and the profilers of the lock and buffer managers.
#include "OrvError.h"
#include "buffer/OrvBufferManagerProfiling.h"
#include "lock/OrvLockManagerProfiling.h"
#include "support/profiling/Counter.h"
#include "support/profiling/ScopedTimer.h"
#include "support/profiling/Timer.h"
#include "support/profiling/VectorOfMeasures.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>
#include <limits>
#include <string>
#include <unistd.h>

using support::profiling::Counter;
using support::profiling::Timer;

namespace {

// Fixed underlying types, so that the out-of-range indexes below are values of
// the enumeration.
enum TestTimers : int { FirstTimer = 0, SecondTimer = 1, ThirdTimer = 2, FourthTimer = 3 };
enum TestCounters : int { FirstCounter = 0, SecondCounter = 1 };

class ProfilingTest : public ::testing::Test {
protected:
    void SetUp() override {
        error()->setError(Support, ORV_SUCCESS);
        Timer::setTimingRequested(true);
    }
    void TearDown() override { Timer::clearTimingRequest(); }

    static OrvError* error() { return OrvError::getErrorObject(); }

    static std::string message() {
        char text[ORV_ERROR_MESSAGE_LENGTH + 1] = {};
        error()->getError(text, sizeof(text), nullptr);
        return text;
    }

    // An internal failure whose location names the given profiling header.
    static void expectMisuse(const std::string& header, const std::string& function) {
        EXPECT_EQ(ORV_INTERNAL_FAIL, error()->getErrorCode());
        EXPECT_EQ(Support, error()->getComponent());
        std::string text = message();
        EXPECT_NE(std::string::npos, text.find("support/profiling/" + header + ":")) << text;
        EXPECT_NE(std::string::npos, text.find(function)) << text;
        error()->setError(Support, ORV_SUCCESS);
    }

    static void expectNoFailure() { EXPECT_EQ(ORV_SUCCESS, error()->getErrorCode()) << message(); }
};

std::string timerXML(const std::string& name, std::size_t value) {
    return "<" + name + " unit=\"microseconds\">" + std::to_string(value) + "</" + name + ">";
}

} // namespace

// ---- Timer -------------------------------------------------------------------------

TEST_F(ProfilingTest, TimerAccumulatesMeasurements) {
    Timer timer;
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(0u, timer.getAccumulatedTimer());
    timer.startTimer();
    EXPECT_TRUE(timer.isRunning());
    usleep(2000);
    std::size_t first = timer.stopTimer();
    EXPECT_FALSE(timer.isRunning());
    EXPECT_GE(first, 2000u);
    EXPECT_EQ(first, timer.getAccumulatedTimer());

    timer.startTimer();
    usleep(1000);
    std::size_t second = timer.stopTimer();
    EXPECT_GE(second, 1000u);
    EXPECT_EQ(first + second, timer.getAccumulatedTimer());
    EXPECT_EQ(timerXML("GetPageTime", first + second), timer.getXML("GetPageTime"));
    EXPECT_STREQ("Timers", Timer::getTypeName());
    expectNoFailure();
}

TEST_F(ProfilingTest, StartingARunningTimerIsAnInternalFailure) {
    Timer timer;
    timer.startTimer();
    timer.startTimer();
    expectMisuse("Timer.h", "startTimer");
    // Carries on: the timer runs and stops normally.
    EXPECT_TRUE(timer.isRunning());
    timer.stopTimer();
    expectNoFailure();
}

TEST_F(ProfilingTest, StoppingTwiceAddsTheTimeSinceTheLastStartAgain) {
    Timer timer;
    timer.startTimer();
    usleep(1000);
    std::size_t first = timer.stopTimer();
    expectNoFailure();
    usleep(1000);
    std::size_t second = timer.stopTimer();
    expectMisuse("Timer.h", "stopTimer");
    EXPECT_GE(second, first + 1000);
    EXPECT_EQ(first + second, timer.getAccumulatedTimer());
}

TEST_F(ProfilingTest, StoppingATimerNeverStartedAddsNothing) {
    Timer timer;
    EXPECT_EQ(0u, timer.stopTimer());
    expectMisuse("Timer.h", "stopTimer");
    EXPECT_EQ(0u, timer.getAccumulatedTimer());
}

TEST_F(ProfilingTest, ReadingOrRenderingARunningTimerIsAnInternalFailure) {
    Timer timer;
    timer.startTimer();
    usleep(1000);
    EXPECT_EQ(0u, timer.getAccumulatedTimer());
    expectMisuse("Timer.h", "getAccumulatedTimer");
    EXPECT_EQ(timerXML("T", 0), timer.getXML("T"));
    expectMisuse("Timer.h", "getXML");
    std::size_t elapsed = timer.stopTimer();
    EXPECT_EQ(elapsed, timer.getAccumulatedTimer());
    EXPECT_EQ(timerXML("T", elapsed), timer.getXML("T"));
    expectNoFailure();
}

// ---- Counter -----------------------------------------------------------------------

TEST_F(ProfilingTest, CounterAddsSignedDeltas) {
    Counter counter;
    EXPECT_EQ("<LogicalReads>0</LogicalReads>", counter.getXML("LogicalReads"));
    counter += 5;
    counter += -2;
    EXPECT_EQ(3, counter.getValue());
    EXPECT_EQ("<LogicalReads>3</LogicalReads>", counter.getXML("LogicalReads"));
    counter += -10;
    EXPECT_EQ("<X>-7</X>", counter.getXML("X"));
    EXPECT_STREQ("Counters", Counter::getTypeName());
    expectNoFailure();
}

TEST_F(ProfilingTest, CounterStopsAtItsLimits) {
    Counter counter;
    counter += std::numeric_limits<Sint64>::max();
    expectNoFailure();
    counter += 1;
    expectMisuse("Counter.h", "operator+=");
    EXPECT_EQ(std::numeric_limits<Sint64>::max(), counter.getValue());
    counter += std::numeric_limits<Sint64>::min();
    EXPECT_EQ(-1, counter.getValue());
    counter += std::numeric_limits<Sint64>::min();
    expectMisuse("Counter.h", "operator+=");
    EXPECT_EQ(std::numeric_limits<Sint64>::min(), counter.getValue());
}

// ---- Vectors and chains ---------------------------------------------------------------

TEST_F(ProfilingTest, EmptyTimerVectorRendersItsTagsOnly) {
    support::VectorOfTimers<TestTimers> timers;
    EXPECT_EQ("<Timers>\n</Timers>\n", timers.getXML());
    // Elements used but never named stay out.
    timers.getMeasureValueReference(ThirdTimer, Timer()).startTimer();
    timers.getMeasureValueReference(ThirdTimer, Timer()).stopTimer();
    EXPECT_EQ("<Timers>\n</Timers>\n", timers.getXML());
    EXPECT_EQ("", support::NoVectorOfMeasures().getXML());
    expectNoFailure();
}

TEST_F(ProfilingTest, VectorGrowsToTheIndexAndRendersNamedElementsInOrder) {
    support::VectorOfCounters<TestCounters> counters;
    counters.getMeasureValueReference(SecondCounter, Counter()) += 4;
    EXPECT_EQ("<Counters>\n</Counters>\n", counters.getXML());
    counters.setElementName(SecondCounter, "Space::Inner::Second", Counter());
    counters.setElementName(FirstCounter, "NoColon", Counter());
    EXPECT_EQ("<Counters>\n<NoColon>0</NoColon>\n<Second>4</Second>\n</Counters>\n",
              counters.getXML());
    // A name is given once; later names are ignored.
    counters.setElementName(FirstCounter, "Other", Counter());
    EXPECT_EQ("<Counters>\n<NoColon>0</NoColon>\n<Second>4</Second>\n</Counters>\n",
              counters.getXML());
    // The same element as before, not a new one.
    counters.getMeasureValueReference(SecondCounter, Counter()) += 1;
    EXPECT_EQ(5, counters.getMeasureValueReference(SecondCounter, Counter()).getValue());
    expectNoFailure();
}

TEST_F(ProfilingTest, ChainRendersEachVectorInTurn) {
    support::VectorOfCounters<TestCounters, support::VectorOfTimers<TestTimers>> chain;
    chain.setElementName(FirstCounter, "A::Reads", Counter());
    chain.setElementName(SecondTimer, "A::Wait", Timer());
    // The tag picks the vector: the same index names a counter and a timer.
    chain.setElementName(FirstTimer, "A::Work", Timer());
    chain.getMeasureValueReference(FirstCounter, Counter()) += 9;
    EXPECT_EQ("<Counters>\n<Reads>9</Reads>\n</Counters>\n"
              "<Timers>\n" +
                  timerXML("Work", 0) + "\n" + timerXML("Wait", 0) + "\n</Timers>\n",
              chain.getXML());
    expectNoFailure();
}

TEST_F(ProfilingTest, IndexOutOfRangeIsRejected) {
    support::VectorOfTimers<TestTimers> timers;
    timers.setElementName(FirstTimer, "T::First", Timer());
    const TestTimers bad[] = {static_cast<TestTimers>(-1), static_cast<TestTimers>(1 << 30)};
    for (TestTimers index : bad) {
        timers.setElementName(index, "T::Bad", Timer());
        EXPECT_EQ(ORV_PARAMETER_FAIL, error()->getErrorCode());
        EXPECT_NE(std::string::npos, message().find("support/profiling/VectorOfMeasures.h:"));
        error()->setError(Support, ORV_SUCCESS);
        Timer& scratch = timers.getMeasureValueReference(index, Timer());
        EXPECT_EQ(ORV_PARAMETER_FAIL, error()->getErrorCode());
        error()->setError(Support, ORV_SUCCESS);
        scratch.startTimer();
        scratch.stopTimer();
    }
    EXPECT_EQ("<Timers>\n" + timerXML("First", 0) + "\n</Timers>\n", timers.getXML());
    expectNoFailure();
}

// ---- Scoped timers and the profilers ------------------------------------------------------

TEST_F(ProfilingTest, ScopedTimerTimesItsScope) {
    OrvLockManagerProfiling::Profiler profiler;
    Timer& request =
        profiler.getMeasureValueReference(OrvLockManagerProfiling::GetRequestTime, Timer());
    {
        support::ScopedTimer<OrvLockManagerProfiling::Profiler,
                             OrvLockManagerProfiling::LockManagerTimers>
            scope(profiler, OrvLockManagerProfiling::GetRequestTime);
        EXPECT_TRUE(request.isRunning());
        usleep(1000);
    }
    EXPECT_FALSE(request.isRunning());
    std::size_t first = request.getAccumulatedTimer();
    EXPECT_GE(first, 1000u);
    {
        OrvLockManagerProfiling::ScopedTimer scope(profiler,
                                                   OrvLockManagerProfiling::GetRequestTime);
        usleep(1000);
    }
    EXPECT_GE(request.getAccumulatedTimer(), first + 1000);
    expectNoFailure();
}

TEST_F(ProfilingTest, ScopedTimersMeasureOnlyWhenTimingIsRequested) {
    OrvBufferManagerProfiling::Profiler profiler;
    Timer& page =
        profiler.getMeasureValueReference(OrvBufferManagerProfiling::GetPageTime, Timer());
    Timer::setTimingRequested(false);
    {
        OrvBufferManagerProfiling::ScopedTimer scope(profiler,
                                                     OrvBufferManagerProfiling::GetPageTime);
        EXPECT_FALSE(page.isRunning());
        usleep(1000);
    }
    EXPECT_EQ(0u, page.getAccumulatedTimer());
    // Direct use always measures.
    page.startTimer();
    usleep(1000);
    EXPECT_GE(page.stopTimer(), 1000u);
    const std::size_t direct = page.getAccumulatedTimer();

    // Without a decision, the environment decides: ORV_PERF_FILE set and not empty.
    const char* saved = std::getenv("ORV_PERF_FILE");
    const std::string savedValue = saved != nullptr ? saved : "";
    for (const char* value :
         std::initializer_list<const char*>{"", "/tmp/orv-profiling-test-perf", nullptr}) {
        if (value != nullptr) {
            setenv("ORV_PERF_FILE", value, 1);
        } else {
            unsetenv("ORV_PERF_FILE");
        }
        Timer::clearTimingRequest();
        const bool expected = value != nullptr && value[0] != '\0';
        EXPECT_EQ(expected, Timer::isTimingRequested()) << (value != nullptr ? value : "unset");
        const std::size_t before = page.getAccumulatedTimer();
        {
            OrvBufferManagerProfiling::ScopedTimer scope(profiler,
                                                         OrvBufferManagerProfiling::GetPageTime);
            EXPECT_EQ(expected, page.isRunning());
            usleep(1000);
        }
        EXPECT_EQ(expected, page.getAccumulatedTimer() >= before + 1000);
    }
    if (saved != nullptr) {
        setenv("ORV_PERF_FILE", savedValue.c_str(), 1);
    }
    EXPECT_GE(page.getAccumulatedTimer(), direct + 1000);
    expectNoFailure();
}

TEST_F(ProfilingTest, LockManagerProfilerXML) {
    OrvLockManagerProfiling::Profiler profiler;
    EXPECT_EQ("<Timers>\n"
              "<GetRequestTime unit=\"microseconds\">0</GetRequestTime>\n"
              "<GetReleaseTime unit=\"microseconds\">0</GetReleaseTime>\n"
              "</Timers>\n",
              profiler.getXML());
    {
        OrvLockManagerProfiling::ScopedTimer scope(profiler,
                                                   OrvLockManagerProfiling::GetReleaseTime);
    }
    std::size_t release =
        profiler.getMeasureValueReference(OrvLockManagerProfiling::GetReleaseTime, Timer())
            .getAccumulatedTimer();
    EXPECT_EQ("<Timers>\n"
              "<GetRequestTime unit=\"microseconds\">0</GetRequestTime>\n" +
                  timerXML("GetReleaseTime", release) + "\n</Timers>\n",
              profiler.getXML());
    expectNoFailure();
}

TEST_F(ProfilingTest, BufferManagerProfilerXML) {
    using namespace OrvBufferManagerProfiling;
    Profiler profiler;
    profiler.getMeasureValueReference(PhysicalReads, Counter()) += 2;
    profiler.getMeasureValueReference(LogicalReads, Counter()) += 5;
    EXPECT_EQ("<Counters>\n"
              "<PhysicalReads>2</PhysicalReads>\n"
              "<LogicalReads>5</LogicalReads>\n"
              "</Counters>\n"
              "<Timers>\n"
              "<GetPageTime unit=\"microseconds\">0</GetPageTime>\n"
              "<GetNewPageTime unit=\"microseconds\">0</GetNewPageTime>\n"
              "<GetFlushAllTime unit=\"microseconds\">0</GetFlushAllTime>\n"
              "<GetFlushSinglePageTime unit=\"microseconds\">0</GetFlushSinglePageTime>\n"
              "</Timers>\n",
              profiler.getXML());
    { OrvBufferManagerProfiling::ScopedTimer scope(profiler, GetFlushAllTime); }
    std::size_t flush =
        profiler.getMeasureValueReference(GetFlushAllTime, Timer()).getAccumulatedTimer();
    std::string xml = profiler.getXML();
    EXPECT_NE(std::string::npos, xml.find(timerXML("GetFlushAllTime", flush) + "\n"));
    expectNoFailure();
}
