// Forcing the order of steps between test processes: one-way pipes to pass
// signals and small values, child processes that are killed if a test gives up
// on them, and waiting for a condition with a time limit.
#ifndef ORV_TEST_SYNC_H
#define ORV_TEST_SYNC_H

#include <functional>
#include <sys/types.h>

namespace orvtest {

// How long a test waits for a step that must happen (a generous limit, so a
// slow machine does not fail the test; reaching it means a hang).
constexpr int STEP_TIMEOUT_MS = 20000;
// How long a test watches a process that must stay blocked.
constexpr int BLOCKED_CHECK_MS = 300;

// A one-way channel; made before fork, both processes hold both ends.
class Pipe {
public:
    Pipe();
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void send(int value = 0);
    // Waits at most timeoutMs for the next value; false on timeout or EOF.
    bool receiveValue(int& value, int timeoutMs = STEP_TIMEOUT_MS);
    bool receive(int timeoutMs = STEP_TIMEOUT_MS);
    // True if a value is waiting (or comes within timeoutMs); reads nothing.
    bool ready(int timeoutMs = 0);

private:
    int fds[2];
};

// A forked child running body; its result is its exit code. The destructor
// kills and reaps a child that is still running, so a failed test leaves no
// process waiting on a semaphore.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return childPid; }
    // Waits at most timeoutMs; the exit code (128 + signal if killed), or -1
    // on timeout (the child is then still running).
    int wait(int timeoutMs = STEP_TIMEOUT_MS);
    // True while the child has not ended (reaps it if it has).
    bool running();
    void kill(int signal);

private:
    pid_t childPid;
    bool reaped = false;
    int exitCode = -1;
};

// Polls condition every millisecond until it holds or timeoutMs passed.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = STEP_TIMEOUT_MS);

} // namespace orvtest

#endif
