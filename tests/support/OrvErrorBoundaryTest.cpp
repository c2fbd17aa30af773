// The error boundaries: where an exception stops, what is recorded.
#include "support/OrvErrorBoundary.h"

#include "OrvError.h"
#include "OrvException.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace OrvErrorBoundary;

OrvErrorCode recordedCode() {
    return OrvError::getErrorObject()->getErrorCode();
}

TEST(OrvErrorBoundaryTest, NoThrowRecordsAnOrvExceptionAndStopsEveryOther) {
    OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
    bool ran = false;
    noThrow(BufferManager, "nothing fails", [&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(ORV_SUCCESS, recordedCode());

    noThrow(BufferManager, "stopping failed", [] { ORV_THROW(ORV_BM_PAGE_NOT_FOUND, "4", "2"); });
    EXPECT_EQ(ORV_BM_PAGE_NOT_FOUND, recordedCode());

    OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
    noThrow(BufferManager, "foreign failure", [] { throw std::runtime_error("not ours"); });
    noThrow(BufferManager, "anything", [] { throw 42; });
    // Only traced: the error object keeps what it had.
    EXPECT_EQ(ORV_SUCCESS, recordedCode());
}

TEST(OrvErrorBoundaryTest, ToErrorCodeReturnsTheCodeAndRecordsIt) {
    OrvError::getErrorObject()->setError(Support, ORV_SUCCESS);
    EXPECT_EQ(ORV_SUCCESS, toErrorCode([] {}));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, toErrorCode([] { ORV_THROW(ORV_RM_REC_NOT_FOUND); }));
    EXPECT_EQ(ORV_RM_REC_NOT_FOUND, recordedCode());
    EXPECT_EQ(ORV_INTERNAL_FAIL, toErrorCode([] { throw std::bad_alloc(); }));
    EXPECT_EQ(ORV_INTERNAL_FAIL, recordedCode());
}

TEST(OrvErrorBoundaryTest, FirstFailureTriesEveryStepAndThrowsTheFirst) {
    FirstFailure failures;
    EXPECT_FALSE(failures.failed());
    failures.rethrow(); // nothing kept: returns
    std::vector<int> ran;
    failures.attempt([&] { ran.push_back(1); });
    failures.attempt([&] {
        ran.push_back(2);
        ORV_THROW(ORV_BM_SEGMENT_DROPPED, "1", "2");
    });
    failures.attempt([&] {
        ran.push_back(3);
        ORV_THROW(ORV_RM_REC_NOT_FOUND);
    });
    failures.attempt([&] { ran.push_back(4); });
    EXPECT_EQ(std::vector<int>({1, 2, 3, 4}), ran);
    ASSERT_TRUE(failures.failed());
    EXPECT_EQ(ORV_BM_SEGMENT_DROPPED, failures.get()->getErrorCode());
    try {
        failures.rethrow();
        ADD_FAILURE() << "nothing thrown";
    } catch (const OrvException& e) {
        EXPECT_EQ(ORV_BM_SEGMENT_DROPPED, e.getErrorCode());
        EXPECT_EQ("1", e.getToken(1));
    }
    // A bug, not a failure of a step: it is not swallowed.
    EXPECT_THROW(failures.attempt([] { throw std::logic_error("bug"); }), std::logic_error);
}

} // namespace
