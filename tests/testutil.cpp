// Test helpers; tests may call the system directly.
#include "tests/testutil.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

extern char **environ;

namespace testutil {

const char *const kUnset = "\x01unset";

namespace {

void removeTree(const std::string &path)
{
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

} // namespace

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/catalogr-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    path = buf.data();
}

TempDir::~TempDir()
{
    if (!path.empty())
        removeTree(path);
}

ScopedCwd::ScopedCwd(const std::string &dir)
{
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr)
        old = buf;
    if (chdir(dir.c_str()) != 0)
        ADD_FAILURE() << "chdir " << dir << ": " << std::strerror(errno);
}

ScopedCwd::~ScopedCwd()
{
    if (!old.empty() && chdir(old.c_str()) != 0)
        std::fprintf(stderr, "chdir back failed\n");
}

ScopedEnv::ScopedEnv(const std::string &n, const std::string &value, bool unset) : name(n)
{
    const char *o = std::getenv(n.c_str());
    hadOld = o != nullptr;
    if (o)
        old = o;
    if (unset)
        unsetenv(n.c_str());
    else
        setenv(n.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (hadOld)
        setenv(name.c_str(), old.c_str(), 1);
    else
        unsetenv(name.c_str());
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long fileSize(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return (long)st.st_size;
}

void copyFile(const std::string &from, const std::string &to)
{
    writeFile(to, readFile(from));
    chmod(to.c_str(), 0644);
}

ProcResult runProgram(const std::vector<std::string> &argv, const std::string &cwd,
                      const std::map<std::string, std::string> &env,
                      const std::string &stdinData, int timeoutSec)
{
    ProcResult r;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0 || pipe(inPipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        for (const auto &kv : env) {
            if (kv.second == kUnset)
                unsetenv(kv.first.c_str());
            else
                setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!stdinData.empty()) {
        ssize_t w = write(inPipe[1], stdinData.data(), stdinData.size());
        (void)w;
    }
    close(inPipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            } else {
                (i == 0 ? r.out : r.err).append(buf, (size_t)n);
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        r.exitStatus = WEXITSTATUS(status);
    return r;
}

std::string dataDir() { return std::string(CATALOGR_SOURCE_DIR) + "/tests/data"; }

std::string binaryDir() { return CATALOGR_BINARY_DIR; }

std::string reader(const std::string &name)
{
    std::string p = std::string(CATALOGR_SOURCE_DIR) + "/tests/readers/" + name;
    return runProgram({p, "--check"}, dataDir()).exitStatus == 0 ? p : std::string();
}

std::string sharedSamples()
{
    std::string p = std::string(CATALOGR_SOURCE_DIR) + "/../shared/samples";
    return fileExists(p + "/README.md") ? p : std::string();
}

unsigned testSeed()
{
    const char *s = std::getenv("CATALOGR_SEED");
    unsigned seed = s && *s ? (unsigned)std::strtoul(s, nullptr, 10) : std::random_device{}();
    std::printf("random seed %u (replay with CATALOGR_SEED=%u)\n", seed, seed);
    return seed;
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        std::snprintf(b, sizeof b, "%02x", (unsigned char)bytes[i]);
        if (i)
            out += ' ';
        out += b;
    }
    return out;
}

} // namespace testutil
