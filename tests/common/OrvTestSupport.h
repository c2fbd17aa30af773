// Helpers shared by the tests: temporary directories, child processes and
// the running of the engine's programs.
#ifndef ORV_TEST_SUPPORT_H
#define ORV_TEST_SUPPORT_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvtest {

// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "orv-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }

private:
    std::string dirPath;
};

// Runs body in a forked child and returns the child's exit code, or 128 plus
// the signal number if it was killed. The child leaves with _exit, so no
// destructor or atexit handler of the parent's objects runs twice. Fork
// before any manager exists in the parent: the child inherits them.
int runInChild(const std::function<int()>& body);

// Starts body in a forked child and returns its pid without waiting.
int startChild(const std::function<int()>& body);
// Waits for a child started by startChild; same result as runInChild.
int waitChild(int pid);

struct ProcessResult {
    int exitCode = -1; // 128 + signal when killed by a signal
    std::string out;
    std::string err;
};

// Runs a program with arguments, in workingDir (when not empty), with the
// environment changed by env (an empty value removes the variable).
ProcessResult runProgram(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& workingDir = "");

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

} // namespace orvtest

#endif
