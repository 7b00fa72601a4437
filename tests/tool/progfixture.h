// Test helper: the built program run as a child process from a copy in a
// fresh directory, with its generated message file, and the texts it
// prints (messages, usage and echo) built from that same message file.
#ifndef CATALOGR_TESTS_PROGFIXTURE_H
#define CATALOGR_TESTS_PROGFIXTURE_H

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/testutil.h"
#include "tool/ddmain.h"

namespace progfixture {

inline std::string builtProgram() { return testutil::binaryDir() + "/tool/catalogr"; }
inline std::string builtMessages() { return testutil::binaryDir() + "/tool/catalogr.rsc"; }

// A message of the generated file, read through the front end itself.
inline std::string message(int number)
{
    static std::map<int, std::string> cache;
    if (cache.empty()) {
        EXPECT_EQ(0, ddmain_initializeResources(builtProgram().c_str()));
        char buf[DDMAIN_MSG_LEN];
        for (int n = 2001; n <= 2029; n++) {
            ddmain_fetchString(buf, n);
            cache[n] = buf;
        }
        ddmain_closeResources();
    }
    return cache[number];
}

// The error line of a message, its "%s" placeholders filled in order.
inline std::string errorLine(int number, const std::vector<std::string> &args = {})
{
    std::string text = message(number), filled;
    size_t pos = 0;
    for (const std::string &a : args) {
        size_t at = text.find("%s", pos);
        if (at == std::string::npos)
            break;
        filled += text.substr(pos, at - pos) + a;
        pos = at + 2;
    }
    filled += text.substr(pos);
    return "\n" + message(DDMAIN_MSG_ERROR_PREFIX) + " " + filled + "\n";
}

inline std::string echo(const std::vector<std::string> &args)
{
    std::string s = message(DDMAIN_MSG_ECHO) + "\n";
    for (std::string a : args) {
        for (char &c : a)
            c = (unsigned char)c < 0x20 || c == 0x7F ? '?' : c;
        s += a + " ";
    }
    return s + "\n";
}

inline std::string usageHeading()
{
    return message(DDMAIN_MSG_USAGE_FIRST) + "\n\ncatalogr - " + message(DDMAIN_MSG_USAGE_NAME) +
           "\n";
}

inline std::string usageRest(const std::vector<std::string> &args)
{
    std::string s;
    for (int n = DDMAIN_MSG_USAGE_REST; n <= DDMAIN_MSG_USAGE_LAST; n++)
        s += message(n) + "\n";
    return s + echo(args);
}

inline std::string usage(const std::vector<std::string> &args)
{
    return usageHeading() + usageRest(args);
}

inline void installProgram(const std::string &dir, bool withMessages)
{
    testutil::copyFile(builtProgram(), dir + "/catalogr");
    chmod((dir + "/catalogr").c_str(), 0755);
    if (withMessages)
        testutil::copyFile(builtMessages(), dir + "/catalogr.rsc");
}

// The environment of every run: none of the program's variables is set
// unless a test sets it, and the locale is C.UTF-8 (UTF-8 text).
inline std::map<std::string, std::string> cleanEnv(std::map<std::string, std::string> extra = {})
{
    std::map<std::string, std::string> env = {
        {"VX", testutil::kUnset},          {"VX_RTCONFIG", testutil::kUnset},
        {"VX_RSRCPATH", testutil::kUnset}, {"VX_XBDDPATH", testutil::kUnset},
        {"VX_LOCKWAIT", testutil::kUnset}, {"LC_ALL", testutil::kUnset},
        {"LC_CTYPE", testutil::kUnset},    {"LANG", "C.UTF-8"}};
    for (const auto &kv : extra)
        env[kv.first] = kv.second;
    return env;
}

// A fresh directory holding a copy of the program and its message file;
// runs start there.
class ProgramDir : public ::testing::Test {
protected:
    testutil::TempDir dir;

    void SetUp() override
    {
        ASSERT_TRUE(testutil::fileExists(builtProgram())) << builtProgram();
        ASSERT_TRUE(testutil::fileExists(builtMessages())) << builtMessages();
        installProgram(dir.path, true);
    }

    testutil::ProcResult run(std::vector<std::string> args,
                             std::map<std::string, std::string> env = {})
    {
        args.insert(args.begin(), dir.file("catalogr"));
        return testutil::runProgram(args, dir.path, cleanEnv(env));
    }
};

} // namespace progfixture

#endif
