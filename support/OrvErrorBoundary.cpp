#include "support/OrvErrorBoundary.h"

#include "OrvError.h"
#include "support/OrvTrace.h"

namespace OrvErrorBoundary {

void traceStopped(OrvComponent component, const char* what) noexcept {
    try {
        OrvTrace orvTrace(component, __PRETTY_FUNCTION__);
        orvTrace.traceString(1, what);
    } catch (...) {
        // Tracing is the last resort; nothing is left to report it to.
    }
}

OrvErrorCode recordForeign() noexcept {
    try {
        OrvError::getErrorObject()->setError(Support, ORV_INTERNAL_FAIL);
    } catch (...) {
    }
    return ORV_INTERNAL_FAIL;
}

void FirstFailure::note(const OrvException& e) {
    if (!first) {
        first = std::make_unique<OrvException>(e);
    }
}

void FirstFailure::rethrow() const {
    if (first) {
        throw OrvException(*first);
    }
}

} // namespace OrvErrorBoundary
