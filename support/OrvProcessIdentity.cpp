#include "support/OrvProcessIdentity.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool orvReadProcessStart(pid_t pid, Uint64& startTime, bool& zombie) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The line is short; the command name in parentheses may hold blanks and
    // parentheses itself, so the fields are counted from the LAST ')'.
    char line[1024];
    ssize_t length = 0;
    for (;;) {
        length = ::read(fd, line, sizeof(line) - 1);
        if (length >= 0 || errno != EINTR) {
            break;
        }
    }
    const int readError = errno;
    ::close(fd);
    if (length <= 0) {
        errno = length < 0 ? readError : EINVAL;
        return false;
    }
    line[length] = '\0';
    const char* close = std::strrchr(line, ')');
    if (close == nullptr || close[1] != ' ') {
        errno = EINVAL;
        return false;
    }
    // Field 3 (the state) follows ") "; field 22 is 19 fields further on.
    const char* field = close + 2;
    zombie = *field == 'Z' || *field == 'X';
    for (int n = 3; n < 22; ++n) {
        field = std::strchr(field, ' ');
        if (field == nullptr) {
            errno = EINVAL;
            return false;
        }
        ++field;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(field, &end, 10);
    if (end == field || errno != 0 || (*end != ' ' && *end != '\0' && *end != '\n')) {
        errno = EINVAL;
        return false;
    }
    startTime = static_cast<Uint64>(value);
    return true;
}

OrvProcessIdentity OrvProcessIdentity::self() {
    // Cached per process; a forked child has another id, so it is read again.
    static OrvProcessIdentity cached;
    const pid_t me = ::getpid();
    if (cached.pid != me) {
        Uint64 start = 0;
        bool zombie = false;
        OrvProcessIdentity fresh;
        fresh.pid = me;
        fresh.startTime = orvReadProcessStart(me, start, zombie) ? start : 0;
        cached = fresh;
    }
    return cached;
}

OrvProcessIdentity::State OrvProcessIdentity::state() const {
    if (pid <= 0) {
        return State::Gone;
    }
    Uint64 start = 0;
    bool zombie = false;
    if (!orvReadProcessStart(pid, start, zombie)) {
        return errno == ENOENT || errno == ESRCH ? State::Gone : State::Unknown;
    }
    if (zombie) {
        return State::Gone;
    }
    if (startTime != 0 && start != startTime) {
        return State::Gone;
    }
    return State::Running;
}
