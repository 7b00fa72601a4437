// Fuzz target: a data file, the separator "--CDX--", and the bytes of its
// production index, given to xbcheck's check of a table: header, field
// descriptors, records listed, memo references, every tag's tree and keys
// against the records. The input's length chooses the output format and
// whether --repair rebuilds the index of a damaged table, so the rebuild
// from hostile records is fuzzed too. Output goes to /dev/null.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codeset/codeset.h"
#include "fuzz/fuzzutil.h"
#include "xbase/code4.h"
#include "xbase/d4data.h"
#include "xbase/e4error.h"
#include "xbcheck/xbcheck.h"

namespace {

const char kSeparator[] = "--CDX--";
const size_t kSeparatorLen = sizeof kSeparator - 1;

FILE *g_out;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mbstr_initialize(0);
    fuzz::scratchDir();
    g_out = std::fopen("/dev/null", "w");
    fuzz::require(g_out != nullptr, "/dev/null does not open");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t dbfLen = fuzz::firstPart(data, size, kSeparator);
    // The production index is found by the data file's name, as users have it.
    std::string dbf = fuzz::scratchFile("fuzz.dbf");
    std::string cdx = fuzz::scratchFile("fuzz.cdx");
    fuzz::writeWhole(dbf, data, dbfLen);
    if (dbfLen < size)
        fuzz::writeWhole(cdx, data + dbfLen + kSeparatorLen, size - dbfLen - kSeparatorLen);
    else
        unlink(cdx.c_str());

    CODE4 c4;
    xbcheck_initContext(&c4);
    c4.expr_error = 0;
    c4.lock_attempts = 1;
    e4clearErrorState();

    const int choice = (int)(size % 6);
    xbcheckrun run{};
    run.c4 = &c4;
    run.out.format = choice % 3;
    run.out.out = g_out;
    run.records = 1;
    run.repair = choice / 3;
    run.progressAllowed = false;
    xbcheck_beginRun(&run.out, false);
    int status = xbcheck_checkTable(&run, dbf.c_str(), nullptr, false, nullptr);
    xbcheck_endRun(&run.out, status);
    fuzz::require(status >= XBCHECK_OK && status <= XBCHECK_USAGE, "the check gave an unknown status");
    fuzz::require(c4.data_list.n_link == 0, "a data file stayed open after its check");
    d4init_undo(&c4);
    return 0;
}
