// The production index of a table: its in-flight marks, the trees and free
// list (the engine's tree checker), and every tag's keys against the
// records. The keys the records give are computed and sorted as a rebuild
// does (r4reindex_supply_keys), then merged with the tree's leaf entries as
// the tree checker reads them in order: one pass over the records and one
// over the tree per tag, never a seek per record.
//
// What the merge keeps true:
//  K1. Both sides ascend in (key, record number) order: the sort's by
//      construction, the tree's because the checker passes on an entry only
//      after checking its order.
//  K2. An entry of the tree that the records do not give is "extra"; a key
//      the records give that the tree lacks is "missing". In a unique tag
//      the records give each key once, held by any of the records with that
//      key (which one depends on the order of the writes); and a key whose
//      holder changed is gone from a unique tag kept up key by key until the
//      next rebuild, even while other records give it, so a unique tag is
//      never short of a key, only wrong in one it holds.
//  K3. A finding names a record only after that record was read again, so
//      that a stale key can be told from a key of an excluded record.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "platform/platform.h"
#include "util/byteorder.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/date4.h"
#include "xbase/e4error.h"
#include "xbase/expr/expr4.h"
#include "xbase/file4.h"
#include "xbase/index/b4block.h"
#include "xbase/index/r4reindex.h"
#include "xbase/index/t4tag.h"
#include "xbase/l4list.h"
#include "xbase/mem4.h"
#include "xbase/u4util.h"
#include "xbcheck/xbcheck.h"

namespace {

// Differences kept per tag for their report (C3); the rest are counted.
const size_t kKept = 4 * XBCHECK_LINES_MAX;
// Entries merged between two progress lines.
const long kProgressStep = 1L << 16;

struct Difference {
    std::string key;
    long rec;
    long block;
};

// The merge of one tag: the sorted keys of the records (`expected`, its
// front entry in `want`) against the tree's leaf entries.
struct Merge {
    xbcheckrun *run;
    xbchecktable *table;
    SORT4 *sort;
    int keyLen;
    bool unique;
    bool haveWant;
    unsigned char want[I4_MAX_KEY_LEN]; // the front expected key
    long wantRec;
    unsigned char last[I4_MAX_KEY_LEN]; // the tree's previous key (unique tags)
    bool haveLast;
    long keys;              // entries of the tree
    long records;           // records of the table, for the progress line
    long lastBlock;
    std::vector<Difference> extra, missing;
    long extraCount, missingCount;
    int rc;                 // a failure of the sort
    std::string progress;
};

void next(Merge &m)
{
    long rec;
    char *key;
    int rc = sort4get(m.sort, &rec, &key, nullptr);
    m.haveWant = rc == 0;
    if (rc < 0)
        m.rc = rc;
    if (rc == 0) {
        std::memcpy(m.want, key, (size_t)m.keyLen);
        m.wantRec = rec;
    }
}

void keep(const Merge &m, std::vector<Difference> &list, long &count, const unsigned char *key, long rec,
          long block)
{
    if (list.size() < kKept)
        list.push_back({std::string((const char *)key, (size_t)m.keyLen), rec, block});
    count++;
}

bool wantIs(const Merge &m, const unsigned char *key)
{
    return m.haveWant && std::memcmp(m.want, key, (size_t)m.keyLen) == 0;
}

// The key the records give is missing from the tree. In a unique tag the
// whole group of records giving it is passed over (K2).
void missingFront(Merge &m, long block)
{
    if (!m.unique)
        keep(m, m.missing, m.missingCount, m.want, m.wantRec, block);
    unsigned char key[I4_MAX_KEY_LEN];
    std::memcpy(key, m.want, (size_t)m.keyLen);
    next(m);
    while (m.unique && wantIs(m, key))
        next(m);
}

int visit(void *ctx, const B4KEY_DATA *entry, long block)
{
    Merge &m = *static_cast<Merge *>(ctx);
    const unsigned char *key = entry->value;
    const size_t len = (size_t)m.keyLen;
    long rec = entry->num;
    m.keys++;
    m.lastBlock = block;
    if (m.keys % kProgressStep == 0)
        xbcheck_progress(m.run, m.progress + " " + std::to_string(m.keys * 100 / std::max(1L, m.records)) + "%");
    if (m.unique) {
        bool twice = m.haveLast && std::memcmp(key, m.last, len) == 0;
        std::memcpy(m.last, key, len);
        m.haveLast = true;
        if (twice) {
            keep(m, m.extra, m.extraCount, key, rec, block);
            return 0;
        }
    }
    while (m.haveWant) {
        int c = std::memcmp(m.want, key, len);
        if (c < 0 || (!m.unique && c == 0 && m.wantRec < rec)) {
            missingFront(m, block);
            continue;
        }
        if (c > 0 || (!m.unique && m.wantRec > rec))
            break;
        if (!m.unique) {
            next(m);
            return 0;
        }
        // K2: any record of the group may hold the key.
        bool held = false;
        while (wantIs(m, key)) {
            held = held || m.wantRec == rec;
            next(m);
        }
        if (!held)
            keep(m, m.extra, m.extraCount, key, rec, block);
        return 0;
    }
    keep(m, m.extra, m.extraCount, key, rec, block);
    return m.rc;
}

// One line about a difference, reading the record again (K3).
struct Line {
    long rec;
    long block;
    std::string text;
};

// What record `rec` gives for `t4`: 0 no such record, 1 excluded by the
// filter, 2 a key (in `*key`), or -1 when it cannot be evaluated.
int recordKey(DATA4 *d4, TAG4 *t4, long count, long rec, std::string *key)
{
    if (rec < 1 || rec > count)
        return 0;
    if (d4go(d4, rec) != 0)
        return -1;
    if (t4->filter != nullptr) {
        int pass = expr4true(t4->filter);
        if (pass < 0)
            return -1;
        if (pass == 0)
            return 1;
    }
    char *k = nullptr;
    int len = t4expr_key(t4, &k);
    if (len < 0)
        return -1;
    key->assign(k, (size_t)len);
    return 2;
}

void reportDifferences(Merge &m, TAG4 *t4, long count)
{
    xbchecktable *t = m.table;
    DATA4 *d4 = t->data;
    std::string tag = std::string("tag ") + t4->alias + ": ";
    std::set<long> extraRecs;
    std::vector<Line> lines;
    for (const Difference &d : m.extra) {
        std::string now, held = xbcheck_keyText(t4, (const unsigned char *)d.key.data(), true);
        int kind = recordKey(d4, t4, count, d.rec, &now);
        std::string rec = std::to_string(d.rec), text;
        if (kind == 0)
            text = "key " + held + " for record " + rec + ", which does not exist";
        else if (kind == 1)
            text = "key " + held + " for record " + rec + ", which the filter excludes" +
                   (d4deleted(d4) ? " (the record is deleted)" : "");
        else if (kind < 0)
            text = "key " + held + " for record " + rec + ", whose key cannot be computed" + xbcheck_lastReport();
        else if (now != d.key)
            text = "stale key " + held + " for record " + rec + ", which gives " +
                   xbcheck_keyText(t4, (const unsigned char *)now.data(), true);
        else
            text = "key " + held + " is held twice" + (m.unique ? " in a unique tag" : "") + " (record " + rec + ")";
        extraRecs.insert(d.rec);
        lines.push_back({d.rec, d.block, tag + text});
    }
    long pairs = 0;
    for (const Difference &d : m.missing) {
        if (extraRecs.count(d.rec) != 0) {
            pairs++;
            continue;
        }
        lines.push_back({d.rec, d.block,
                         tag + "no key for record " + std::to_string(d.rec) + ", which gives " +
                             xbcheck_keyText(t4, (const unsigned char *)d.key.data(), true)});
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) { return a.rec < b.rec; });
    size_t shown = std::min(lines.size(), (size_t)XBCHECK_LINES_MAX);
    for (size_t i = 0; i < shown; i++)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, lines[i].block, lines[i].text);
    long rest = m.extraCount + m.missingCount - pairs - (long)shown;
    if (rest > 0)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, -1,
                     tag + std::to_string(rest) + " more keys differ from the records");
    if (!lines.empty())
        t->indexDamaged = true;
    d4->code_base->error_code = 0;
}

// The records the file holds, of those the header counts.
long recordsHeld(const xbchecktable *t)
{
    const xbcheckheader &h = t->header;
    long held = (h.fileLen - (long)t->data->header_len) / (long)t->data->record_width;
    return std::max(0L, std::min(h.records, held));
}

void checkTag(xbcheckrun *run, xbchecktable *t, T4CHECK *ck, TAG4 *t4, xbchecktag *tag, int n, int of)
{
    DATA4 *d4 = t->data;
    CODE4 *c4 = run->c4;
    const long count = recordsHeld(t);
    T4PROBLEM *p = ck->problem;
    R4REINDEX r4{};
    r4.data = d4;
    r4.index = t4->index;
    r4.code_base = c4;
    r4.sort.file.hand = -1;
    r4.sort.code_base = c4;
    r4.rec_count = count;
    r4.read_len = std::max((unsigned)FILE4_SEQ_MAX, d4->record_width);
    r4.read_buffer = (char *)u4alloc(r4.read_len);
    Merge m{};
    m.run = run;
    m.table = t;
    m.sort = &r4.sort;
    m.keyLen = t4->header.key_len;
    m.records = count;
    m.unique = (t4->header.type_code & I4_TYPE_UNIQUE) != 0;
    m.progress = t->file + ": tag " + t4->alias + " (" + std::to_string(n) + "/" + std::to_string(of) + ")";
    xbcheck_progress(run, m.progress);

    long rec_num = d4->rec_num;
    e4clearErrorState();
    int rc = r4.read_buffer == nullptr ? e4memory : r4reindex_supply_keys(&r4, t4);
    d4->rec_num = rec_num;
    if (rc != 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, -1,
                     std::string("tag ") + t4->alias + ": the records' keys cannot be computed" + xbcheck_lastReport());
        r4reindex_free(&r4);
        c4->error_code = 0;
        return;
    }
    next(m);
    ck->visit = visit;
    ck->ctx = &m;
    rc = t4check_tree(ck, t4);
    ck->visit = nullptr;
    if (rc == 0) {
        while (m.haveWant)
            missingFront(m, m.lastBlock >= 0 ? m.lastBlock : t4->header.root);
        rc = m.rc;
    }
    r4reindex_free(&r4);
    tag->sound = rc == 0;
    if (rc == 1) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, p->block, p->text);
        t->indexDamaged = true;
    } else if (rc != 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, -1,
                     std::string("tag ") + t4->alias + ": the tree cannot be read" + xbcheck_lastReport());
        t->indexDamaged = true;
    } else {
        tag->keys = m.keys;
        reportDifferences(m, t4, count);
    }
    c4->error_code = 0;
}

double fromFox(const unsigned char *key)
{
    unsigned char b[8];
    std::memcpy(b, key, 8);
    if (b[0] & 0x80)
        b[0] &= 0x7F;
    else
        for (unsigned char &c : b)
            c = (unsigned char)~c;
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++)
        bits = bits << 8 | b[i];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

} // namespace

std::vector<std::string> xbcheck_headerMarks(const unsigned char head[16])
{
    std::vector<std::string> marks;
    // A rebuild names no root at offset 0 until its last write.
    if ((int32_t)util_getLe32(head + I4_OFF_ROOT) == 0)
        marks.push_back("the index is marked as being rebuilt: a rebuild did not finish");
    return marks;
}

long xbcheck_indexVersion(INDEX4 *i4)
{
    unsigned char head[I4_HEAD_LEN];
    const int marks = i4 != nullptr ? i4head_read(i4, head) : -1;
    if (i4 != nullptr)
        i4->code_base->error_code = 0;
    // A change or a pack under way in another process is marked from its
    // first write to its last, before its version moves: the index is then
    // changing whatever its version says. (A rebuild's mark is reported by
    // xbcheck_headerMarks, and its end moves the version.)
    if (marks < 0)
        return -1;
    if ((marks & (I4_MARK_CHANGE | I4_MARK_PACK)) != 0)
        return -2;
    return (long)util_getBe32(head + I4_OFF_VERSION);
}

std::string xbcheck_keyText(TAG4 *t4, const unsigned char *key, bool quote)
{
    int len = t4->header.key_len;
    int type = t4->expr != nullptr ? expr4type(t4->expr) : E4TYPE_CHAR;
    char buf[64];
    if ((type == E4TYPE_NUM || type == E4TYPE_NUM_RAW) && len == 8) {
        std::snprintf(buf, sizeof buf, "%.15g", fromFox(key));
        return buf;
    }
    if ((type == E4TYPE_DATE || type == E4TYPE_DATE_RAW) && len == 8) {
        double day = fromFox(key);
        if (day < 1 || day > 1e8)
            return quote ? "\"\"" : "";
        char date[9];
        date4assign(date, (long)day);
        return std::string(date, 8);
    }
    if (type == E4TYPE_LOG && len == 1)
        return std::string(1, (char)key[0]);
    int n = len;
    while (n > 0 && key[n - 1] == ' ')
        n--;
    if (!quote)
        return std::string((const char *)key, (size_t)n);
    return xbcheck_shown((const char *)key, (size_t)n, true);
}

int xbcheck_openIndex(xbcheckrun *run, xbchecktable *t)
{
    CODE4 *c4 = run->c4;
    if (!t->header.production) {
        if (t->definitions != nullptr) {
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, "its header names no production index");
            t->indexDamaged = true;
        }
        return 1;
    }
    std::string shown = xbcheck_sibling(t->file, "cdx");
    std::vector<char> found(shown.size() + 4096);
    if (platform_resolveName(shown.c_str(), found.data(), found.size()) != 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->file, -1, "its production index " + shown + " is missing");
        t->indexDamaged = true;
        return 1;
    }
    t->indexFile = found.data();
    FILE4 raw;
    unsigned char head[I4_HEAD_LEN];
    std::vector<std::string> marks;
    if (file4open(&raw, c4, found.data(), 0) == 0) {
        if (file4read_all(&raw, 0, head, sizeof head) == 0)
            marks = xbcheck_headerMarks(head);
        file4close(&raw);
    }
    for (const std::string &mark : marks)
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, 0, mark);
    e4clearErrorState();
    c4->error_code = 0;
    INDEX4 *i4 = i4open(t->data, nullptr);
    if (i4 == nullptr) {
        if (marks.empty())
            xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, -1, "the index does not open" + xbcheck_lastReport());
        t->indexDamaged = true;
        c4->error_code = 0;
        return 1;
    }
    t->index = i4;
    t->indexFile = i4->file.name;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        if (t4 == i4->tag_index)
            continue;
        xbchecktag g{};
        g.name = t4->alias;
        g.key = t4->expr != nullptr ? expr4source(t4->expr) : "";
        g.filter = t4->filter != nullptr ? expr4source(t4->filter) : "";
        g.unique = (t4->header.type_code & I4_TYPE_UNIQUE) != 0;
        g.descending = t4->header.descending != 0;
        g.type = (char)(t4->expr != nullptr ? expr4type(t4->expr) : '?');
        g.keyLen = t4->header.key_len;
        g.keys = -1;
        t->tags.push_back(g);
    }
    return 0;
}

void xbcheck_checkIndex(xbcheckrun *run, xbchecktable *t)
{
    INDEX4 *i4 = t->index;
    T4PROBLEM p{};
    T4CHECK ck{};
    e4clearErrorState();
    int rc = t4check_start(&ck, i4, &p);
    if (rc != 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, -1, "the index cannot be read" + xbcheck_lastReport());
        t->indexDamaged = true;
        run->c4->error_code = 0;
        return;
    }
    size_t n = 0;
    for (TAG4 *t4 = i4tag_next(i4, nullptr); t4 != nullptr; t4 = i4tag_next(i4, t4)) {
        if (t4 == i4->tag_index && t4->header.type_code >= I4_TYPE_DIRECTORY) {
            rc = t4check_tree(&ck, t4);
            if (rc != 0) {
                xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, rc == 1 ? p.block : -1,
                             rc == 1 ? std::string(p.text) : "the tag directory cannot be read" + xbcheck_lastReport());
                t->indexDamaged = true;
            }
            continue;
        }
        if (n < t->tags.size())
            checkTag(run, t, &ck, t4, &t->tags[n], (int)n + 1, (int)t->tags.size());
        n++;
    }
    rc = t4check_free_list(&ck);
    if (rc != 0) {
        xbcheck_note(&t->notes, XBCHECK_PROBLEM, t->indexFile, rc == 1 ? p.block : -1,
                     rc == 1 ? std::string(p.text) : "the free list cannot be read" + xbcheck_lastReport());
        t->indexDamaged = true;
    }
    run->c4->error_code = 0;
}

int xbcheck_listKeys(xbcheckrun *run, xbchecktable *t, const std::string &name)
{
    TAG4 *t4 = t->data != nullptr ? d4tag(t->data, name.c_str()) : nullptr;
    const xbchecktag *tag = nullptr;
    for (const xbchecktag &g : t->tags)
        if (t4 != nullptr && g.name == t4->alias)
            tag = &g;
    if (tag == nullptr) {
        xbcheck_complain(t->file + ": no tag " + xbcheck_shown(name.data(), name.size(), true) + " to list");
        return XBCHECK_USAGE;
    }
    if (!tag->sound) {
        xbcheck_complain(t->file + ": the keys of tag " + tag->name + " are not listed: its tree is damaged");
        return XBCHECK_FOUND;
    }
    xbcheck_beginKeys(&run->out, t, t4->alias);
    int rc = t4top(t4);
    for (long i = 0; rc == 0 && !t4eof(t4) && i < tag->keys; i++) {
        unsigned char *key = t4key(t4);
        if (key == nullptr)
            break;
        xbcheck_putKey(&run->out, t, t4->alias, t4recno(t4), xbcheck_keyText(t4, key, run->out.format == XBCHECK_TEXT));
        if (t4dskip(t4, 1) != 1)
            break;
    }
    xbcheck_endKeys(&run->out);
    run->c4->error_code = 0;
    return XBCHECK_OK;
}
