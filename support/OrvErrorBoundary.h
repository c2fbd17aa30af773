// Error boundaries: the few places where an exception must stop.
//
// Inside the engine failures travel as OrvException. Three patterns end
// that journey, and each is written here once:
//   - a destructor or a stop step that must not throw: `noThrow` runs it and
//     records an OrvException in the error object (anything else is traced);
//   - an operation whose caller wants a code, not an exception:
//     `toErrorCode` runs it and returns the code (recorded, like above);
//   - a sequence of steps that must all be tried, reporting the first
//     failure: `FirstFailure`.
// Nothing else in the engine should swallow an exception.
//
// Process safety: per process; the error object is the process's own.
#ifndef ORV_ERROR_BOUNDARY_H
#define ORV_ERROR_BOUNDARY_H

#include "OrvComponents.h"
#include "OrvErrorCodes.h"
#include "OrvException.h"

#include <memory>
#include <utility>

namespace OrvErrorBoundary {

// Traces `what` in `component`'s trace; used by the boundaries when they
// stop an exception. Never throws.
void traceStopped(OrvComponent component, const char* what) noexcept;

// Runs `step`; an OrvException is recorded in the error object and `what`
// traced in `component`, any other exception is only traced. Never throws.
template <class Step> void noThrow(OrvComponent component, const char* what, Step&& step) noexcept {
    try {
        try {
            std::forward<Step>(step)();
        } catch (const OrvException& e) {
            traceStopped(component, what);
            e.SET_ERROR();
        }
    } catch (...) {
        traceStopped(component, what);
    }
}

// Runs `operation` and returns ORV_SUCCESS, or the code of the OrvException
// it raised (recorded in the error object), or ORV_INTERNAL_FAIL for any
// other exception (recorded too). Never throws.
template <class Operation> [[nodiscard]] OrvErrorCode toErrorCode(Operation&& operation) noexcept;

// Collects the first of several failures: every step is tried, the first
// OrvException is kept and thrown by `rethrow`.
class FirstFailure {
public:
    // Runs `step`; keeps its OrvException when it is the first. Other
    // exceptions pass through (they are no failure of the step, but a bug).
    template <class Step> void attempt(Step&& step) {
        try {
            std::forward<Step>(step)();
        } catch (const OrvException& e) {
            note(e);
        }
    }
    // Keeps `e` when nothing was kept before.
    void note(const OrvException& e);
    bool failed() const { return first != nullptr; }
    // The first failure kept, or null.
    const OrvException* get() const { return first.get(); }
    // Throws a copy of the first failure; returns when there was none.
    void rethrow() const;

private:
    std::unique_ptr<OrvException> first;
};

// Records ORV_INTERNAL_FAIL (component Support) for an exception that is no
// OrvException, and returns it.
OrvErrorCode recordForeign() noexcept;

template <class Operation> OrvErrorCode toErrorCode(Operation&& operation) noexcept {
    try {
        try {
            std::forward<Operation>(operation)();
            return ORV_SUCCESS;
        } catch (const OrvException& e) {
            e.SET_ERROR();
            return e.getErrorCode();
        }
    } catch (...) {
        return recordForeign();
    }
}

} // namespace OrvErrorBoundary

#endif
