// Test helpers: a fresh temporary directory per test, file bytes, child
// processes with captured output, the shipped test data, the
// independent readers, and replayable random seeds.
#ifndef CATALOGR_TESTUTIL_H
#define CATALOGR_TESTUTIL_H

#include <map>
#include <string>
#include <vector>

namespace testutil {

// A directory made fresh for one test and removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Changes the working directory for its lifetime.
struct ScopedCwd {
    std::string old;
    explicit ScopedCwd(const std::string &dir);
    ~ScopedCwd();
};

// Sets (or, with unset, removes) an environment variable for its lifetime.
struct ScopedEnv {
    std::string name;
    bool hadOld;
    std::string old;
    ScopedEnv(const std::string &name, const std::string &value, bool unset = false);
    ~ScopedEnv();
};

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &bytes);
bool fileExists(const std::string &path);
long fileSize(const std::string &path);
void copyFile(const std::string &from, const std::string &to);

struct ProcResult {
    int exitStatus = -1;    // exit status, or -1 when killed or not run
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments in `cwd`. `env` entries are set; an entry
// whose value is "\x01unset" is removed from the child's environment.
ProcResult runProgram(const std::vector<std::string> &argv, const std::string &cwd,
                      const std::map<std::string, std::string> &env = {},
                      const std::string &stdinData = std::string(), int timeoutSec = 60);
extern const char *const kUnset;

// The source tree's tests/data directory.
std::string dataDir();
// The built tree (for the program and generated files).
std::string binaryDir();
// Path of an independent reader of tests/readers ("xbview-pl" or
// "xbview-py"), or "" when the Debian packages it runs are not installed.
std::string reader(const std::string &name);
// ../shared/samples, or "" when absent.
std::string sharedSamples();

// A random seed for a randomised test: CATALOGR_SEED when set, else fresh.
// The seed is printed so that a failure can be replayed.
unsigned testSeed();

// Bytes as "00 1a ff" for readable failure messages.
std::string hex(const std::string &bytes);

} // namespace testutil

#endif
