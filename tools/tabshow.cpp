// tabshow: prints data files as small text tables, read through the engine,
// one table per file: a heading with the file and its record count, the
// field names, and one line per record (a deleted one marked "*").
// Usage: tabshow FILE.dbf...    exit 0, or 1 when a file does not open.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "codeset/codeset.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbase/f4field.h"

namespace {

std::string trimmed(const char *p, unsigned len)
{
    std::string s(p, len);
    size_t a = s.find_first_not_of(' ');
    return a == std::string::npos ? std::string() : s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// Bytes a terminal would not show as text are written as '?'.
std::string shown(std::string s)
{
    for (char &c : s)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return s;
}

int showTable(CODE4 *c4, const char *name)
{
    DATA4 *d = d4open(c4, name);
    if (d == nullptr) {
        char last[E4_ERROR_BUFFER_LEN] = "";
        e4getErrorInfo(nullptr, last, sizeof last);
        std::fprintf(stderr, "tabshow: cannot open %s %s\n", name, last);
        return 1;
    }
    const int n = d4num_fields(d);
    std::vector<std::vector<std::string>> lines(1);
    std::vector<bool> numeric;
    for (int j = 1; j <= n; j++) {
        lines[0].push_back(f4name(d4field_j(d, j)));
        numeric.push_back(f4type(d4field_j(d, j)) == 'N');
    }
    long count = d4reccount(d);
    for (long rec = 1; rec <= count; rec++) {
        if (d4go(d, rec) != 0)
            break;
        std::vector<std::string> line;
        for (int j = 1; j <= n; j++) {
            FIELD4 *f = d4field_j(d, j);
            line.push_back(shown(trimmed(f4ptr(f), f4len(f))));
        }
        line.push_back(d4deleted(d) ? "*" : "");
        lines.push_back(line);
    }
    std::vector<size_t> width((size_t)n, 0);
    for (const auto &line : lines)
        for (size_t j = 0; j < (size_t)n; j++)
            width[j] = std::max(width[j], line[j].size());

    std::printf("%s: %ld record%s\n", name, count, count == 1 ? "" : "s");
    for (size_t i = 0; i < lines.size(); i++) {
        std::string out = "  ";
        for (size_t j = 0; j < (size_t)n; j++) {
            const std::string &v = lines[i][j];
            std::string pad(width[j] - v.size(), ' ');
            out += (numeric[j] && i > 0 ? pad + v : v + pad) + "  ";
        }
        if (i > 0)
            out += lines[i].back();
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        std::printf("%s\n", out.c_str());
    }
    std::printf("\n");
    d4close(d);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tabshow FILE.dbf...\n");
        return 2;
    }
    mbstr_initialize(0);
    CODE4 c4;
    d4init(&c4);
    c4.read_only = 1;
    int rc = 0;
    for (int i = 1; i < argc; i++)
        rc |= showTable(&c4, argv[i]);
    d4init_undo(&c4);
    return rc;
}
