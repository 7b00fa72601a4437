// One table checked as a whole: its data file, memo references and
// production index, read again when it changed under the check (C2); its
// description; and with --repair its index rebuilt and the table checked
// once more, so that what a rebuild cannot mend is named.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/d4tag.h"
#include "xbase/e4error.h"
#include "xbase/index/i4index.h"
#include "xbase/l4list.h"
#include "xbcheck/xbcheck.h"

namespace {

// Reads of a table that keeps changing before the check gives up (C2).
const int kAttempts = 3;

// The checks of one reading of the table; true when it stood still (C2).
bool checkOnce(xbcheckrun *run, const char *name, xbchecktable *t, int *status)
{
    *status = xbcheck_openTable(run, name, t);
    if (*status == XBCHECK_USAGE)
        return true;
    const long len0 = t->header.fileLen, n0 = t->header.records;
    long v0 = -1;
    if (t->data != nullptr) {
        if (xbcheck_openIndex(run, t) == 0)
            v0 = xbcheck_indexVersion(t->index);
        // Records are where the header says only when the lengths agree.
        if (t->header.recordLen == (long)t->data->record_width) {
            xbcheck_checkMemos(run, t);
            if (t->index != nullptr)
                xbcheck_checkIndex(run, t);
        }
    }
    long len1 = 0;
    long n1 = xbcheck_recordCount(run, t->file, &len1);
    long v1 = t->index != nullptr ? xbcheck_indexVersion(t->index) : -1;
    return n1 == n0 && len1 == len0 && v1 == v0 && v0 != -2;
}

std::string tagNames(INDEX4 *i4)
{
    std::string names;
    int n = 0;
    for (TAG4 *t4 = (TAG4 *)l4first(&i4->tags); t4 != nullptr; t4 = (TAG4 *)l4next(&i4->tags, t4)) {
        if (t4 == i4->tag_index)
            continue;
        names += std::string(n++ > 0 ? ", " : "") + t4->alias;
    }
    return std::to_string(n) + (n == 1 ? " tag" : " tags") + (n > 0 ? " (" + names + ")" : "");
}

} // namespace

void xbcheck_repairIndex(xbcheckrun *run, const char *name, const TAG4INFO *definitions,
                         std::vector<xbchecknote> *notes)
{
    CODE4 *c4 = run->c4;
    c4->read_only = 0;
    e4clearErrorState();
    DATA4 *d4 = d4open(c4, name);
    if (d4 == nullptr) {
        xbcheck_note(notes, XBCHECK_PROBLEM, name, -1, "the table does not open for the repair" + xbcheck_lastReport());
        c4->error_code = 0;
        c4->read_only = 1;
        return;
    }
    std::string file = d4->file.name;
    INDEX4 *i4 = d4->has_mdx ? i4open(d4, nullptr) : nullptr;
    c4->error_code = 0;
    if (i4 != nullptr) {
        // Under the locks of the data file and its index, so that no writer
        // changes a record while its keys are being gathered.
        int rc = d4reindex(d4);
        if (rc == 0)
            xbcheck_note(notes, XBCHECK_REPAIRED, i4->file.name, -1, "rebuilt " + tagNames(i4));
        else
            xbcheck_note(notes, XBCHECK_PROBLEM, i4->file.name, -1, "the rebuild failed" + xbcheck_lastReport());
    } else if (definitions != nullptr) {
        // The index is missing or does not open, and what it must hold is
        // known: it is made again from its definitions.
        std::string cdx = xbcheck_sibling(file, "cdx");
        std::vector<char> found(cdx.size() + 4096);
        if (platform_resolveName(cdx.c_str(), found.data(), found.size()) == 0)
            platform_remove(found.data());
        i4 = i4create(d4, nullptr, definitions);
        if (i4 != nullptr)
            xbcheck_note(notes, XBCHECK_REPAIRED, i4->file.name, -1, "created the production index with " + tagNames(i4));
        else
            xbcheck_note(notes, XBCHECK_PROBLEM, file, -1, "the production index cannot be created" + xbcheck_lastReport());
    }
    c4->error_code = 0;
    if (d4close(d4) != 0)
        xbcheck_note(notes, XBCHECK_PROBLEM, file, -1, "the repaired table did not close cleanly" + xbcheck_lastReport());
    c4->error_code = 0;
    c4->read_only = 1;
}

int xbcheck_checkTable(xbcheckrun *run, const char *name, const TAG4INFO *definitions, bool quiet,
                       std::vector<xbchecknote> *notes)
{
    xbchecktable t{};
    int status = 0;
    run->started = xbcheck_now();
    for (int attempt = 1;; attempt++) {
        t = xbchecktable{};
        t.definitions = definitions;
        bool still = checkOnce(run, name, &t, &status);
        if (still || status == XBCHECK_USAGE)
            break;
        if (attempt == kAttempts) {
            t.notes.erase(std::remove_if(t.notes.begin(), t.notes.end(),
                                         [](const xbchecknote &n) { return n.kind == XBCHECK_PROBLEM; }),
                          t.notes.end());
            xbcheck_note(&t.notes, XBCHECK_CHANGED, t.file, -1,
                         "the table changed under the check (its record count or index version moved); "
                         "check it again");
            t.indexDamaged = false;
            break;
        }
        xbcheck_closeTable(&t);
    }
    xbcheck_progress(run, "");
    if (status == XBCHECK_USAGE) {
        xbcheck_closeTable(&t);
        return status;
    }
    if (!quiet) {
        xbcheck_putTable(&run->out, &t);
        if (run->records)
            xbcheck_listRecords(run, &t);
        if (!run->keysTag.empty() && xbcheck_listKeys(run, &t, run->keysTag) == XBCHECK_USAGE)
            status = XBCHECK_USAGE;
    }
    std::string file = t.file;
    xbcheck_closeTable(&t);

    bool changed = xbcheck_has(t.notes, XBCHECK_CHANGED);
    bool problems = xbcheck_has(t.notes, XBCHECK_PROBLEM);
    const char *result = changed ? "changed" : problems ? "problems" : "ok";
    if (run->repair && problems && !changed) {
        if (t.indexDamaged)
            xbcheck_repairIndex(run, file.c_str(), definitions, &t.notes);
        // The dictionary checks its own tables again as a whole.
        if (!quiet) {
            std::vector<xbchecknote> again;
            run->repair = 0;
            xbcheck_checkTable(run, file.c_str(), definitions, true, &again);
            run->repair = 1;
            for (xbchecknote &n : again)
                if (n.kind == XBCHECK_PROBLEM)
                    n.kind = XBCHECK_REMAINS;
            t.notes.insert(t.notes.end(), again.begin(), again.end());
            result = xbcheck_has(again, XBCHECK_CHANGED) ? "changed" : xbcheck_has(again, XBCHECK_REMAINS) ? "remains" : "repaired";
        }
    }
    if (std::strcmp(result, "ok") != 0 && std::strcmp(result, "repaired") != 0)
        status = std::max(status, (int)XBCHECK_FOUND);
    if (quiet)
        notes->insert(notes->end(), t.notes.begin(), t.notes.end());
    else
        xbcheck_endTable(&run->out, file, t.notes, result);
    return status;
}
