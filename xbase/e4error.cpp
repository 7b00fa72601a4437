// Error reporting: the table of error texts, the process-wide last-error
// slot that each report overwrites, and the calls that end the process with
// a mapped exit status.
#include "xbase/e4error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const error_data_st e4error_data[] = {
    {-20, "Creating File"},
    {-60, "Opening File"},
    {-70, "Reading File"},
    {-100, "Seeking to File Position"},
    {-120, "Writing to File"},
    {-10, "Closing File"},
    {-80, "Removing File"},
    {-50, "Locking File"},
    {-110, "Unlocking File"},
    {-30, "Determining File Length"},
    {-40, "Setting File Length"},
    {-90, "Renaming File"},
    {-200, "File is not a Data File"},
    {-230, "Record Length is too Large"},
    {-210, "Unrecognized Field Name"},
    {-220, "Unrecognized Field Type"},
    {-310, "Not a Correct Index File"},
    {-300, "Tag Entry Missing"},
    {-340, "Unique Key Error"},
    {-330, "Tag Name not Found"},
    {-400, "Comma or Bracket Expected"},
    {-410, "Expression not Complete"},
    {-420, "Data File Name not Located"},
    {-422, "IIF() Needs Parameters of Same Length"},
    {-425, "SUBSTR() and STR() need Constant Parameters"},
    {-430, "Number of Parameters is Wrong"},
    {-440, "Overflow while Evaluating Expression"},
    {-450, "Right Bracket Missing"},
    {-460, "Sub-expression Type is Wrong"},
    {-470, "Unrecognized Function"},
    {-480, "Unrecognized Operator"},
    {-490, "Unrecognized Value"},
    {-500, "Unterminated String"},
    {-610, "Optimization Error"},
    {-620, "Optimization Removal Failure"},
    {-630, "Optimization File Flushing Failure"},
    {-720, "Relation Error"},
    {-710, "Matching Slave Record Not Located"},
    {-810, "Report Error"},
    {-811, "Error Creating Style"},
    {-812, "Error Selecting Style"},
    {-813, "Error Finding Style"},
    {-814, "Error Creating Area"},
    {-815, "Error Creating Group"},
    {-816, "Error Setting Group Reset-Expression"},
    {-817, "Error Creating Total"},
    {-818, "Error Creating Object"},
    {-819, "Error In Windows Output"},
    {-820, "Error In Report Output"},
    {-821, "Error Saving Report"},
    {-822, "Error Retrieving Report"},
    {-823, "Error In Sending Report to Data File"},
    {-920, "Out of Memory"},
    {-910, "Unexpected Information"},
    {-930, "Unexpected Parameter"},
    {-950, "Unexpected Result"},
    {-1020, "Function unsupported: library compiled with S4OFF_MEMO"},
    {-1040, "Function unsupported: library compiled with S4OFF_WRITE"},
    {-1010, "Function unsupported: library compiled with S4OFF_INDEX"},
    {-1030, "Function unsupported: library compiled with S4NO_RENAME"},
    {-1050, "Function unsupported: library not compiled with S4CLIPPER"},
    {-1060, "Function unsupported: library not compiled with S4LOCK_HOOK"},
    {-1070, "Function unsupported: library not compiled with S4ERROR_HOOK"},
    {0, nullptr},
};

namespace {

// The last-error slot: one per process, overwritten by every report.
int errorCode = 0;
char errorBuffer[E4_ERROR_BUFFER_LEN];

// Longest message the slot holds, terminator excluded.
const size_t kMaxMessage = E4_ERROR_BUFFER_LEN - 1;

// Appends as much of `text` as fits; `len` is the message length so far.
void appendCut(size_t &len, const char *text)
{
    size_t n = std::strlen(text);
    if (n > kMaxMessage - len)
        n = kMaxMessage - len;
    std::memcpy(errorBuffer + len, text, n);
    len += n;
    errorBuffer[len] = 0;
}

// A piece followed by its separating blank, the blank only while room is left.
void appendPiece(size_t &len, const char *text)
{
    appendCut(len, text);
    if (len < kMaxMessage)
        appendCut(len, " ");
}

} // namespace

int e4(CODE4 *c4, int err_code, const char *desc)
{
    return e4describe(c4, err_code, desc, nullptr, nullptr);
}

int e4describe(CODE4 *c4, int err_code, const char *desc1, const char *desc2, const char *desc3)
{
    e4hook(c4, err_code, desc1, desc2, desc3);
    return err_code;
}

int e4hook(CODE4 *, int err_code, const char *desc1, const char *desc2, const char *desc3)
{
    errorCode = err_code;
    char head[32];
    std::snprintf(head, sizeof head, "Xbase %d: ", err_code);
    size_t len = 0;
    errorBuffer[0] = 0;
    appendCut(len, head);
    const char *text = e4text(err_code);
    if (text != nullptr)
        appendPiece(len, text);
    if (desc1 != nullptr)
        appendPiece(len, desc1);
    if (desc2 != nullptr)
        appendPiece(len, desc2);
    if (desc3 != nullptr)
        appendCut(len, desc3);
    return err_code;
}

void e4getErrorInfo(int *errorCodeP, char *errorStringP, int buffLen)
{
    if (errorCodeP != nullptr)
        *errorCodeP = errorCode;
    if (errorStringP == nullptr || buffLen <= 0)
        return;
    size_t room = (size_t)buffLen - 1;
    size_t n = std::strlen(errorBuffer);
    if (n > room)
        n = room;
    std::memcpy(errorStringP, errorBuffer, n);
    errorStringP[n] = 0;
}

void e4clearErrorState(void)
{
    errorBuffer[0] = 0;
    errorCode = 0;
}

const char *e4text(int err_code)
{
    if (err_code == 0)
        return nullptr;
    for (const error_data_st *e = e4error_data; e->error_num != 0; e++)
        if (e->error_num == err_code)
            return e->error_data;
    return nullptr;
}

int e4code(CODE4 *c4)
{
    return c4 == nullptr ? -1 : c4->error_code;
}

int e4set(CODE4 *c4, int new_err_code)
{
    if (c4 == nullptr)
        return -1;
    int old = c4->error_code;
    c4->error_code = new_err_code;
    return old;
}

void e4severe(int err_code, const char *desc)
{
    e4hook(nullptr, err_code, desc, nullptr, nullptr);
    // The process ends here, so the report would otherwise be lost unseen.
    std::fprintf(stderr, "%s\n", errorBuffer);
    std::exit(e4exit_status(1));
}

int e4out_of_memory(void)
{
    e4hook(nullptr, e4memory, nullptr, nullptr, nullptr);
    std::fprintf(stderr, "%s\n", errorBuffer);
    return e4exit_status(e4memory);
}

void e4exit(CODE4 *c4)
{
    std::exit(e4exit_status(c4 == nullptr ? 0 : c4->error_code));
}

void e4exit_test(CODE4 *c4)
{
    if (c4 != nullptr && c4->error_code < 0)
        e4exit(c4);
}

void e4error_out(const char *text)
{
    if (text == nullptr)
        return;
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int e4exit_status(int status)
{
    if (status < 0)
        return 255;
    if (status <= 255)
        return status;
    // The general failure 0x8000 and any other value too large for an exit
    // status become 1, so no failure ever reads as success (status % 256).
    return 1;
}
