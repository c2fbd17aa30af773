#include "support/OrvIo.h"

#include "support/OrvTrace.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int MAX_FAULTS = 16;
constexpr int CALL_KINDS = static_cast<int>(OrvIo::Call::Count);

struct ArmedFault {
    OrvIo::Fault fault;
    Uint32 base; // the call count of its kind when it was armed
    bool used;
};

// Zero-initialised, so usable from any static initialiser.
bool faultsArmed = false;
ArmedFault faults[MAX_FAULTS];
Uint32 callCounts[CALL_KINDS];

// What the fault table says about one call.
struct Decision {
    bool fail = false;
    int error = 0;
    Sint64 shortBytes = -1;
    bool killAfterTransfer = false;
};

// Counts the call and looks for a fault that hits it. Only reached while a
// fault is armed.
Decision decideSlow(OrvIo::Call call) {
    Decision decision;
    int kind = static_cast<int>(call);
    Uint32 count = ++callCounts[kind];
    for (ArmedFault& armed : faults) {
        if (!armed.used || armed.fault.call != call) {
            continue;
        }
        Uint32 sinceArming = count - armed.base;
        bool hit =
            armed.fault.sticky ? sinceArming >= armed.fault.nth : sinceArming == armed.fault.nth;
        if (!hit) {
            continue;
        }
        if (armed.fault.shortBytes >= 0) {
            decision.shortBytes = armed.fault.shortBytes;
            decision.killAfterTransfer = armed.fault.killAfterTransfer;
        } else {
            decision.fail = true;
            decision.error = armed.fault.error;
        }
        if (!armed.fault.sticky) {
            armed.used = false;
        }
        break;
    }
    return decision;
}

inline Decision decide(OrvIo::Call call) {
    if (__builtin_expect(!faultsArmed, 1)) {
        return Decision();
    }
    return decideSlow(call);
}

inline std::size_t shortened(std::size_t length, const Decision& decision) {
    if (decision.shortBytes >= 0 && static_cast<Uint64>(decision.shortBytes) < length) {
        return static_cast<std::size_t>(decision.shortBytes);
    }
    return length;
}

// A planned crash right after a write: the process ends here, holding
// whatever it holds, as if it had been killed in the middle of the call.
template <typename T> inline T afterTransfer(T transferred, const Decision& decision) {
    if (decision.killAfterTransfer) {
        ::kill(::getpid(), SIGKILL);
    }
    return transferred;
}

} // namespace

namespace OrvIo {

bool armFault(const Fault& fault) {
    ORV_TRACE(Support);
    for (ArmedFault& armed : faults) {
        if (!armed.used) {
            armed.fault = fault;
            armed.base = callCounts[static_cast<int>(fault.call)];
            armed.used = true;
            faultsArmed = true;
            return true;
        }
    }
    return false;
}

void clearFaults() {
    ORV_TRACE(Support);
    for (ArmedFault& armed : faults) {
        armed.used = false;
    }
    for (Uint32& count : callCounts) {
        count = 0;
    }
    faultsArmed = false;
}

Uint32 callCount(Call call) {
    ORV_TRACE(Support);
    return callCounts[static_cast<int>(call)];
}

// The system call's result, or its errno negated.
template <typename T> inline T result(T value) {
    return value < 0 ? static_cast<T>(-errno) : value;
}

int open(const char* path, int flags, mode_t mode) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Open);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::open(path, flags, mode));
}

int close(int fd) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Close);
    int closed = result(::close(fd));
    return decision.fail ? -decision.error : closed;
}

ssize_t pread(int fd, void* buffer, std::size_t length, off_t offset) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Pread);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::pread(fd, buffer, shortened(length, decision), offset));
}

ssize_t pwrite(int fd, const void* buffer, std::size_t length, off_t offset) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Pwrite);
    if (decision.fail) {
        return -decision.error;
    }
    return afterTransfer(result(::pwrite(fd, buffer, shortened(length, decision), offset)),
                         decision);
}

int fstat(int fd, struct stat* status) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Fstat);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::fstat(fd, status));
}

int stat(const char* path, struct stat* status) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Stat);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::stat(path, status));
}

int ftruncate(int fd, off_t length) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Ftruncate);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::ftruncate(fd, length));
}

int unlink(const char* path) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Unlink);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::unlink(path));
}

ssize_t append(int fd, const void* buffer, std::size_t length) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Append);
    if (decision.fail) {
        return -decision.error;
    }
    return afterTransfer(result(::write(fd, buffer, shortened(length, decision))), decision);
}

off_t lseek(int fd, off_t offset, int whence) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Lseek);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::lseek(fd, offset, whence));
}

int fsync(int fd) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Sync);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::fsync(fd));
}

int fdatasync(int fd) {
    ORV_TRACE(Support);
    Decision decision = decide(Call::Sync);
    if (decision.fail) {
        return -decision.error;
    }
    return result(::fdatasync(fd));
}

int syncDirectory(const char* path) {
    ORV_TRACE(Support);
    int fd = result(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) {
        return fd;
    }
    int synced = fsync(fd);
    (void)::close(fd);
    return synced;
}

namespace {

// The loop shared by the *All helpers. transfer(done) moves the bytes from
// position done on and returns what the wrapper returned.
template <typename Transfer>
ssize_t transferAll(std::size_t length, bool stopAtEnd, Transfer transfer) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = transfer(done);
        if (n == -EINTR) {
            continue;
        }
        if (n < 0) {
            return n;
        }
        if (n == 0) {
            if (stopAtEnd) {
                break; // end of file
            }
            // A regular file never takes zero bytes of a non-empty write;
            // report an I/O error rather than loop for ever.
            return -EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

ssize_t preadAll(int fd, void* buffer, std::size_t length, off_t offset) {
    ORV_TRACE(Support);
    char* bytes = static_cast<char*>(buffer);
    return transferAll(length, true, [&](std::size_t done) {
        return pread(fd, bytes + done, length - done, offset + static_cast<off_t>(done));
    });
}

ssize_t pwriteAll(int fd, const void* buffer, std::size_t length, off_t offset) {
    ORV_TRACE(Support);
    const char* bytes = static_cast<const char*>(buffer);
    return transferAll(length, false, [&](std::size_t done) {
        return pwrite(fd, bytes + done, length - done, offset + static_cast<off_t>(done));
    });
}

ssize_t appendAll(int fd, const void* buffer, std::size_t length) {
    ORV_TRACE(Support);
    const char* bytes = static_cast<const char*>(buffer);
    return transferAll(length, false,
                       [&](std::size_t done) { return append(fd, bytes + done, length - done); });
}

} // namespace OrvIo
