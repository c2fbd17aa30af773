#include "OrvTestSync.h"

#include "OrvTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace orvtest {

Pipe::Pipe() {
    if (pipe(fds) != 0) {
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    }
}

Pipe::~Pipe() {
    close(fds[0]);
    close(fds[1]);
}

void Pipe::send(int value) {
    const char* bytes = reinterpret_cast<const char*>(&value);
    std::size_t done = 0;
    while (done < sizeof(value)) {
        const ssize_t n = write(fds[1], bytes + done, sizeof(value) - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("pipe write failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

bool Pipe::ready(int timeoutMs) {
    struct pollfd entry = {fds[0], POLLIN, 0};
    int n;
    while ((n = poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

bool Pipe::receiveValue(int& value, int timeoutMs) {
    if (!ready(timeoutMs)) {
        return false;
    }
    char* bytes = reinterpret_cast<char*>(&value);
    std::size_t done = 0;
    while (done < sizeof(value)) {
        const ssize_t n = read(fds[0], bytes + done, sizeof(value) - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Pipe::receive(int timeoutMs) {
    int ignored = 0;
    return receiveValue(ignored, timeoutMs);
}

ChildProcess::ChildProcess(const std::function<int()>& body) : childPid(startChild(body)) {}

ChildProcess::~ChildProcess() {
    if (!reaped) {
        ::kill(childPid, SIGKILL);
        waitChild(childPid);
    }
}

bool ChildProcess::running() {
    if (reaped) {
        return false;
    }
    int status = 0;
    pid_t result;
    while ((result = waitpid(childPid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (result == 0) {
        return true;
    }
    reaped = true;
    if (result == childPid && WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
    } else if (result == childPid && WIFSIGNALED(status)) {
        exitCode = 128 + WTERMSIG(status);
    }
    return false;
}

int ChildProcess::wait(int timeoutMs) {
    if (!waitUntil([this] { return !running(); }, timeoutMs)) {
        return -1;
    }
    return exitCode;
}

void ChildProcess::kill(int signal) {
    if (!reaped) {
        ::kill(childPid, signal);
    }
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace orvtest
