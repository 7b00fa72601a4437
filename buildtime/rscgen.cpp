// rscgen: writes a resource file from a small text source, at build time.
// Usage: rscgen -o OUTPUT SOURCE
//
// Source, one statement per line; a `#` that starts a word begins a comment:
//   form native|plain   native (default): header 0x500/"5lFr", platform 10,
//                       supportsDataDefs 1, aliases kept in `Alia` string
//                       lists; plain: 0x400/"liFr", platform 0,
//                       supportsDataDefs 0, aliases (at most 16
//                       characters) kept in the id entries themselves.
//   version N           the creator's version number (default 1)
//   ident "TEXT"        identification text (at most 63 characters)
//   include "FILE"      reads FILE (relative to this source) in place
//   messages TYPE ID    a message list; members until `end`, one a line:
//       NUMBER COUNT "TEXT"   COUNT is the number of %s placeholders the
//                             text must carry; no other '%' is allowed and
//                             a text has at most 127 characters.
//   strings TYPE ID [alias A] [deleted]   a string list; members until
//       `end`: INFO... "TEXT" (one or more info values, then the text).
//   data TYPE ID [alias A] [deleted]      raw bytes until `end`:
//       word V...  32-bit little-endian values    byte V...  single bytes
//       text "S"   bytes of S                     cstring "S"  S and a zero
//       zeros N    N zero bytes                   align N    zeros to a multiple of N
// TYPE is four characters (str#, rtCf) or a number; values are decimal or
// 0x hexadecimal, negative allowed. Quoted text knows \\ \" \n \r \t \0 \xHH.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rscmgr/rscmgr.h"
#include "util/byteorder.h"

namespace {

enum { MAX_MESSAGE_TEXT = 127, MAX_INLINE_ALIAS = 16 };

struct token {
    std::string text;
    bool quoted;
};

struct sourceline {
    std::string file;
    int number;
    std::vector<token> tokens;
};

struct resourcedef {
    uint32_t type;
    int32_t id;
    std::string alias;
    bool deleted;
    std::string data;
    int32_t aliasId;        // native form: its number in the type's `Alia` list
    std::string where;
};

struct generator {
    bool native = true;
    int32_t version = 1;
    std::string ident = RSC_STANDARD_ID;
    std::vector<resourcedef> resources;
};

std::string failure;

bool fail(const sourceline &l, const std::string &msg)
{
    if (failure.empty())
        failure = l.file + ":" + std::to_string(l.number) + ": " + msg;
    return false;
}

bool readText(const std::string &path, std::string *out)
{
    FILE *fp = platform_fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return false;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
        out->append(buf, n);
    bool ok = !std::ferror(fp);
    std::fclose(fp);
    return ok;
}

bool tokenize(sourceline &l, const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            i++;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string t;
            i++;
            for (;;) {
                if (i >= s.size())
                    return fail(l, "unterminated text");
                char d = s[i++];
                if (d == '"')
                    break;
                if (d != '\\') {
                    t += d;
                    continue;
                }
                if (i >= s.size())
                    return fail(l, "unterminated text");
                char e = s[i++];
                switch (e) {
                case '\\': t += '\\'; break;
                case '"': t += '"'; break;
                case 'n': t += '\n'; break;
                case 't': t += '\t'; break;
                case 'r': t += '\r'; break;
                case '0': t += '\0'; break;
                case 'x': {
                    if (i + 2 > s.size() || !std::isxdigit((unsigned char)s[i]) ||
                        !std::isxdigit((unsigned char)s[i + 1]))
                        return fail(l, "bad \\x escape");
                    t += (char)std::strtol(s.substr(i, 2).c_str(), nullptr, 16);
                    i += 2;
                    break;
                }
                default:
                    return fail(l, std::string("unknown escape \\") + e);
                }
            }
            l.tokens.push_back({t, true});
        } else {
            size_t j = i;
            while (j < s.size() && s[j] != ' ' && s[j] != '\t' && s[j] != '\r')
                j++;
            l.tokens.push_back({s.substr(i, j - i), false});
            i = j;
        }
    }
    return true;
}

bool readSource(const std::string &path, std::vector<sourceline> *lines, int depth)
{
    std::string text;
    if (depth > 8 || !readText(path, &text)) {
        if (failure.empty())
            failure = path + ": cannot read the source";
        return false;
    }
    size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        sourceline l{path, ++number, {}};
        if (!tokenize(l, text.substr(start, end - start)))
            return false;
        start = end + 1;
        if (l.tokens.empty())
            continue;
        if (l.tokens[0].text == "include" && !l.tokens[0].quoted) {
            if (l.tokens.size() != 2 || !l.tokens[1].quoted)
                return fail(l, "include needs one quoted file name");
            std::string inc = l.tokens[1].text;
            size_t slash = path.rfind('/');
            if (!inc.empty() && inc[0] != '/' && slash != std::string::npos)
                inc = path.substr(0, slash + 1) + inc;
            if (!readSource(inc, lines, depth + 1))
                return false;
            continue;
        }
        lines->push_back(l);
    }
    return true;
}

bool parseNumber(const sourceline &l, const token &t, int64_t lo, int64_t hi, int64_t *out)
{
    if (t.quoted || t.text.empty())
        return fail(l, "a number is needed, not \"" + t.text + "\"");
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(t.text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || v < lo || v > hi)
        return fail(l, "bad or out-of-range number " + t.text);
    *out = v;
    return true;
}

bool parseType(const sourceline &l, const token &t, uint32_t *out)
{
    if (!t.quoted && t.text.size() == 4 && !std::isdigit((unsigned char)t.text[0])) {
        *out = (uint32_t)(unsigned char)t.text[0] << 24 | (uint32_t)(unsigned char)t.text[1] << 16 |
               (uint32_t)(unsigned char)t.text[2] << 8 | (uint32_t)(unsigned char)t.text[3];
        return true;
    }
    int64_t v;
    if (!parseNumber(l, t, 0, UINT32_MAX, &v))
        return false;
    *out = (uint32_t)v;
    return true;
}

void put32(std::string &s, uint32_t v)
{
    unsigned char b[4];
    util_putLe32(b, v);
    s.append((const char *)b, 4);
}

void padTo4(std::string &s)
{
    while (s.size() % 4 != 0)
        s += '\0';
}

void putMember(std::string &s, const std::vector<int32_t> &info, const std::string &text)
{
    put32(s, (uint32_t)info.size());
    for (int32_t v : info)
        put32(s, (uint32_t)v);
    put32(s, (uint32_t)text.size() + 1);
    s += text;
    s += '\0';
    padTo4(s);
}

// The placeholders a message text carries, or -1 when it has a '%' that
// does not start "%s".
int countPlaceholders(const std::string &text)
{
    int n = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%')
            continue;
        if (i + 1 >= text.size() || text[i + 1] != 's')
            return -1;
        n++;
        i++;
    }
    return n;
}

// Members of a `messages` or `strings` block.
bool parseListMembers(const std::vector<sourceline> &lines, size_t *i, bool messages,
                      std::string *data)
{
    struct entry {
        std::vector<int32_t> info;
        std::string text;
    };
    std::vector<entry> members;
    for (; *i < lines.size(); ++*i) {
        const sourceline &l = lines[*i];
        if (l.tokens.size() == 1 && !l.tokens[0].quoted && l.tokens[0].text == "end")
            break;
        if (l.tokens.size() < 2 || !l.tokens.back().quoted)
            return fail(l, "a member is info values followed by a quoted text");
        entry e;
        e.text = l.tokens.back().text;
        if (e.text.find('\0') != std::string::npos)
            return fail(l, "a member text cannot hold a zero byte");
        if (messages) {
            int64_t num, count;
            if (l.tokens.size() != 3 || !parseNumber(l, l.tokens[0], INT32_MIN, INT32_MAX, &num) ||
                !parseNumber(l, l.tokens[1], 0, 9, &count))
                return fail(l, "a message is NUMBER PLACEHOLDERS \"TEXT\"");
            if (e.text.size() > MAX_MESSAGE_TEXT)
                return fail(l, "message " + std::to_string(num) + " is longer than " +
                                   std::to_string(MAX_MESSAGE_TEXT) + " characters");
            int got = countPlaceholders(e.text);
            if (got < 0)
                return fail(l, "message " + std::to_string(num) + " has a '%' that is not %s");
            if (got != count)
                return fail(l, "message " + std::to_string(num) + " declares " +
                                   std::to_string(count) + " %s placeholders but carries " +
                                   std::to_string(got));
            for (const entry &m : members)
                if (m.info[0] == num)
                    return fail(l, "message " + std::to_string(num) + " appears twice");
            e.info.push_back((int32_t)num);
        } else {
            for (size_t k = 0; k + 1 < l.tokens.size(); k++) {
                int64_t v;
                if (!parseNumber(l, l.tokens[k], INT32_MIN, UINT32_MAX, &v))
                    return false;
                e.info.push_back((int32_t)(uint32_t)v);
            }
        }
        members.push_back(e);
    }
    if (*i >= lines.size())
        return fail(lines.back(), "missing end");
    if (messages)
        std::stable_sort(members.begin(), members.end(),
                         [](const entry &a, const entry &b) { return a.info[0] < b.info[0]; });
    put32(*data, messages ? 1u : (uint32_t)(members.empty() ? 0 : members[0].info.size()));
    put32(*data, (uint32_t)members.size());
    for (const entry &m : members)
        putMember(*data, m.info, m.text);
    return true;
}

bool parseDataItems(const std::vector<sourceline> &lines, size_t *i, std::string *data)
{
    for (; *i < lines.size(); ++*i) {
        const sourceline &l = lines[*i];
        const std::string &kw = l.tokens[0].text;
        if (l.tokens[0].quoted)
            return fail(l, "an item starts with a word");
        if (kw == "end" && l.tokens.size() == 1)
            return true;
        if (kw == "word" || kw == "byte") {
            for (size_t k = 1; k < l.tokens.size(); k++) {
                int64_t v;
                if (kw == "word") {
                    if (!parseNumber(l, l.tokens[k], INT32_MIN, UINT32_MAX, &v))
                        return false;
                    put32(*data, (uint32_t)v);
                } else {
                    if (!parseNumber(l, l.tokens[k], -128, 255, &v))
                        return false;
                    *data += (char)(unsigned char)v;
                }
            }
        } else if ((kw == "text" || kw == "cstring") && l.tokens.size() == 2 && l.tokens[1].quoted) {
            *data += l.tokens[1].text;
            if (kw == "cstring")
                *data += '\0';
        } else if ((kw == "zeros" || kw == "align") && l.tokens.size() == 2) {
            int64_t v;
            if (!parseNumber(l, l.tokens[1], kw == "align" ? 1 : 0, 1 << 24, &v))
                return false;
            if (kw == "zeros")
                data->append((size_t)v, '\0');
            else
                while (data->size() % (size_t)v != 0)
                    *data += '\0';
        } else {
            return fail(l, "unknown data item " + kw);
        }
    }
    return fail(lines.back(), "missing end");
}

bool parse(const std::vector<sourceline> &lines, generator *g)
{
    for (size_t i = 0; i < lines.size(); i++) {
        const sourceline &l = lines[i];
        const std::vector<token> &t = l.tokens;
        const std::string &kw = t[0].text;
        if (t[0].quoted)
            return fail(l, "a statement starts with a word");
        if (kw == "form" && t.size() == 2 && (t[1].text == "native" || t[1].text == "plain")) {
            g->native = t[1].text == "native";
        } else if (kw == "version" && t.size() == 2) {
            int64_t v;
            if (!parseNumber(l, t[1], INT32_MIN, INT32_MAX, &v))
                return false;
            g->version = (int32_t)v;
        } else if (kw == "ident" && t.size() == 2 && t[1].quoted) {
            if (t[1].text.size() > RSC_ID_STRING_SIZE - 1)
                return fail(l, "the identification text has more than 63 characters");
            g->ident = t[1].text;
        } else if (kw == "messages" || kw == "strings" || kw == "data") {
            resourcedef r{0, 0, std::string(), false, std::string(), 0,
                          l.file + ":" + std::to_string(l.number)};
            int64_t id;
            if (t.size() < 3 || !parseType(l, t[1], &r.type) ||
                !parseNumber(l, t[2], INT32_MIN, INT32_MAX, &id))
                return fail(l, kw + " needs a type and an id");
            r.id = (int32_t)id;
            for (size_t k = 3; k < t.size(); k++) {
                if (t[k].text == "deleted" && !t[k].quoted && kw != "messages") {
                    r.deleted = true;
                } else if (t[k].text == "alias" && !t[k].quoted && k + 1 < t.size()) {
                    r.alias = t[++k].text;
                    if (r.alias.empty() || r.alias.find('\0') != std::string::npos ||
                        r.alias.size() > RSC_MAX_ALIAS)
                        return fail(l, "bad alias");
                } else {
                    return fail(l, "unexpected " + t[k].text);
                }
            }
            i++;
            bool ok = kw == "data" ? parseDataItems(lines, &i, &r.data)
                                   : parseListMembers(lines, &i, kw == "messages", &r.data);
            if (!ok)
                return false;
            g->resources.push_back(r);
        } else {
            return fail(l, "unknown statement " + kw);
        }
    }
    return true;
}

// Checks aliases and entries, numbers the aliases and (native form) adds
// each type's `Alia` list.
bool arrangeAliases(generator *g)
{
    sourceline where{"", 0, {}};
    for (size_t a = 0; a < g->resources.size(); a++)
        for (size_t b = a + 1; b < g->resources.size(); b++) {
            const resourcedef &x = g->resources[a], &y = g->resources[b];
            if (x.type == y.type && x.id == y.id && x.alias == y.alias) {
                failure = y.where + ": a resource with this type, id and alias already exists";
                return false;
            }
        }
    if (!g->native) {
        for (const resourcedef &r : g->resources)
            if (r.alias.size() > MAX_INLINE_ALIAS) {
                failure = r.where + ": aliases of the plain form have at most 16 characters";
                return false;
            }
        return true;
    }
    std::vector<uint32_t> typesWithAliases;
    for (const resourcedef &r : g->resources)
        if (!r.alias.empty() &&
            std::find(typesWithAliases.begin(), typesWithAliases.end(), r.type) == typesWithAliases.end())
            typesWithAliases.push_back(r.type);
    for (uint32_t type : typesWithAliases) {
        for (const resourcedef &r : g->resources)
            if (r.type == RSC_TYPE_ALIAS && r.id == (int32_t)type) {
                failure = r.where + ": an Alia list for this type is written by rscgen itself";
                return false;
            }
        std::string list;
        int32_t next = 1;
        std::string members;
        int n = 0;
        for (resourcedef &r : g->resources) {
            if (r.type != type || r.alias.empty())
                continue;
            r.aliasId = next++;
            uint32_t hash;
            qtkResource_generateHashValue(&hash, r.alias.c_str(), 0);
            putMember(members, {(int32_t)hash, r.aliasId, r.id, 0}, r.alias);
            n++;
        }
        put32(list, 4);
        put32(list, (uint32_t)n);
        list += members;
        g->resources.push_back(
            resourcedef{RSC_TYPE_ALIAS, (int32_t)type, std::string(), false, list, 0, "(aliases)"});
    }
    return true;
}

std::string layout(const generator &g)
{
    std::vector<uint32_t> types;
    for (const resourcedef &r : g.resources)
        if (std::find(types.begin(), types.end(), r.type) == types.end())
            types.push_back(r.type);

    rscfileheader h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.idString, g.ident.data(), g.ident.size());
    h.idString[g.ident.size()] = (char)RSC_ID_STRING_END;
    h.applVersion = g.version;
    if (g.native) {
        h.sysVersion = RSC_SYS_VERSION_PLATFORM;
        h.signature = RSC_SIGNATURE_PLATFORM;
        h.platformID = RSC_PLATFORM_NATIVE;
        h.supportsDataDefs = 1;
        dataprop_getPropertiesByPlatform(RSC_PLATFORM_NATIVE, h.dataProps);
    } else {
        h.sysVersion = RSC_SYS_VERSION_PLAIN;
        h.signature = RSC_SIGNATURE_PLAIN;
        h.platformID = RSC_PLATFORM_NONE;
        h.supportsDataDefs = 0;
    }
    h.typeListOffset = types.empty() ? 0u : (uint32_t)RSC_HEADER_SIZE;
    h.typeListSize = (uint32_t)types.size();

    // Header, type list, id tables, then the data blocks on 4-byte boundaries.
    uint32_t idTables = RSC_HEADER_SIZE + (uint32_t)types.size() * RSC_TYPE_ENTRY_SIZE;
    uint32_t dataStart = idTables + (uint32_t)g.resources.size() * RSC_ID_ENTRY_SIZE;
    std::vector<uint32_t> dataOffset;
    uint32_t at = dataStart;
    for (const resourcedef &r : g.resources) {
        dataOffset.push_back(at);
        at += ((uint32_t)r.data.size() + 3) & ~3u;
    }

    std::string out(RSC_HEADER_SIZE, '\0');
    rsc_encodeHeader(&h, (unsigned char *)&out[0]);
    std::string idBytes;
    for (uint32_t type : types) {
        std::vector<size_t> members;
        for (size_t k = 0; k < g.resources.size(); k++)
            if (g.resources[k].type == type)
                members.push_back(k);
        std::stable_sort(members.begin(), members.end(), [&](size_t a, size_t b) {
            return g.resources[a].id < g.resources[b].id;
        });
        filetypelistentry te;
        std::memset(&te, 0, sizeof te);
        te.typeId = type;
        te.numEntries = (uint32_t)members.size();
        te.rscIdTableOffset = idTables + (uint32_t)idBytes.size();
        te.nextAvailAliasId = 1;
        for (size_t k : members) {
            const resourcedef &r = g.resources[k];
            filerscidentry ie;
            std::memset(&ie, 0, sizeof ie);
            ie.deleted = r.deleted ? 1 : 0;
            ie.rscId = r.id;
            ie.rscData = dataOffset[k];
            ie.dataSize = (uint32_t)r.data.size();
            if (!r.alias.empty() && g.native) {
                uint32_t hash;
                qtkResource_generateHashValue(&hash, r.alias.c_str(), 0);
                util_putLe32(ie.aliasInfo, hash);
                util_putLe32(ie.aliasInfo + 4, (uint32_t)r.aliasId);
                util_putLe32(ie.aliasInfo + 8, (uint32_t)r.alias.size());
                te.nextAvailAliasId = std::max<uint32_t>(te.nextAvailAliasId, (uint32_t)r.aliasId + 1);
            } else if (!r.alias.empty()) {
                std::memcpy(ie.aliasInfo, r.alias.data(), r.alias.size());
            }
            unsigned char b[RSC_ID_ENTRY_SIZE];
            rsc_encodeIdEntry(&ie, b);
            idBytes.append((const char *)b, sizeof b);
        }
        unsigned char b[RSC_TYPE_ENTRY_SIZE];
        rsc_encodeTypeEntry(&te, b);
        out.append((const char *)b, sizeof b);
    }
    out += idBytes;
    for (const resourcedef &r : g.resources) {
        out += r.data;
        padTo4(out);
    }
    return out;
}

int usage()
{
    std::fputs("usage: rscgen -o OUTPUT SOURCE\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 || std::strcmp(argv[1], "-o") != 0)
        return usage();
    const char *outPath = argv[2];
    std::vector<sourceline> lines;
    generator g;
    if (!readSource(argv[3], &lines, 0) || !parse(lines, &g) || !arrangeAliases(&g)) {
        std::fprintf(stderr, "rscgen: %s\n", failure.c_str());
        return 1;
    }
    std::string bytes = layout(g);
    FILE *fp = platform_fopen(outPath, "wb");
    if (fp == nullptr) {
        std::fprintf(stderr, "rscgen: cannot create %s\n", outPath);
        return 1;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    ok = std::fclose(fp) == 0 && ok;
    if (!ok) {
        platform_remove(outPath);
        std::fprintf(stderr, "rscgen: cannot write %s\n", outPath);
        return 1;
    }
    return 0;
}
