// Test helpers for the sample tables other programs wrote: the tags of an
// independent reader's dump (tests/data/samples/expected) and keys shown
// the way that reader shows them.
#ifndef CATALOGR_TESTS_SAMPLEDUMP_H
#define CATALOGR_TESTS_SAMPLEDUMP_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "xbase/date4.h"

namespace sampledump {

struct SampleTag {
    std::string name, key, filter;
    bool unique = false;
    bool descending = false;
    int keylen = 0;
    std::vector<std::string> keys; // "key=... rec=N" as the reader shows them
};

inline std::vector<SampleTag> readTags(const std::string &dumpPath)
{
    std::ifstream in(dumpPath);
    std::vector<SampleTag> tags;
    std::string line;
    bool inCdx = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inCdx = line == "[cdx]";
            continue;
        }
        if (!inCdx)
            continue;
        if (line.rfind("tag ", 0) == 0) {
            tags.emplace_back();
            tags.back().name = line.substr(4);
        } else if (tags.empty()) {
            continue;
        } else if (line.rfind("  key: ", 0) == 0) {
            tags.back().key = line.substr(7);
        } else if (line.rfind("  for: ", 0) == 0) {
            tags.back().filter = line.substr(7);
        } else if (line.rfind("  unique: ", 0) == 0) {
            tags.back().unique = line.substr(10) == "yes";
        } else if (line.rfind("  descending: ", 0) == 0) {
            tags.back().descending = line.substr(14) == "yes";
        } else if (line.rfind("  keylen: ", 0) == 0) {
            tags.back().keylen = std::stoi(line.substr(10));
        } else if (line.rfind("  key=", 0) == 0) {
            tags.back().keys.push_back(line.substr(2));
        }
    }
    return tags;
}

// The value of an 8-byte number key.
inline double keyToDouble(const std::string &key)
{
    unsigned char b[8];
    memcpy(b, key.data(), 8);
    if (b[0] & 0x80)
        b[0] = (unsigned char)(b[0] - 0x80);
    else
        for (unsigned char &c : b)
            c = (unsigned char)~c;
    uint64_t bits = 0;
    for (unsigned char c : b)
        bits = bits << 8 | c;
    double d;
    memcpy(&d, &bits, sizeof(d));
    return d;
}

// A number as the reader prints it: 15 significant digits, no exponent for
// the magnitudes keys hold.
inline std::string number(double d)
{
    char buf[40];
    snprintf(buf, sizeof(buf), "%.15g", d);
    return buf;
}

// A key of a tag whose expression has type `type`, as the reader shows it.
inline std::string shown(int type, const std::string &k)
{
    switch (type) {
    case 'N':
    case 'n':
        return number(keyToDouble(k));
    case 'D':
    case 'd': {
        char date[9] = {0};
        date4assign(date, (long)keyToDouble(k));
        std::string s(date, 8);
        return s == "        " ? "\"\"" : s;
    }
    default: {
        std::string s = k;
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        std::string out = "\"";
        for (unsigned char c : s) {
            if (c < 0x20 || c > 0x7E || c == '\\' || c == '"' || c == '|') {
                char esc[5];
                snprintf(esc, sizeof(esc), "\\x%02x", c);
                out += esc;
            } else {
                out += (char)c;
            }
        }
        return out + "\"";
    }
    }
}

} // namespace sampledump

#endif
