// Error reporting: the table of engine error codes and texts, the
// process-wide last-error slot that every report overwrites, and the calls
// that end the process. Reports print nothing and return their code.
#ifndef CATALOGR_E4ERROR_H
#define CATALOGR_E4ERROR_H

#include <new>

#include "xbase/x4types.h"

enum {
    e4close = -10,
    e4create = -20,
    e4len = -30,
    e4len_set = -40,
    e4lock = -50,
    e4open = -60,
    e4read = -70,
    e4remove = -80,
    e4rename = -90,
    e4seek = -100,
    e4unlock = -110,
    e4write = -120,
    e4data = -200,
    e4field_name = -210,
    e4field_type = -220,
    e4record_len = -230,
    e4entry = -300,
    e4index = -310,
    e4tag_name = -330,
    e4unique = -340,
    e4comma_expected = -400,
    e4complete = -410,
    e4data_name = -420,
    e4length_err = -422,
    e4not_constant = -425,
    e4num_parms = -430,
    e4overflow = -440,
    e4right_missing = -450,
    e4type_sub = -460,
    e4unrec_function = -470,
    e4unrec_operator = -480,
    e4unrec_value = -490,
    e4unterminated = -500,
    e4opt_flush = -630,
    e4info = -910,
    e4memory = -920,
    e4parm = -930,
    e4result = -950,
    e4not_index = -1010,
    e4not_memo = -1020
};

// Size of the last-error slot, terminator included.
enum { E4_ERROR_BUFFER_LEN = 512 };

struct error_data_st {
    int error_num;
    const char *error_data;
};

// Closed by an entry whose error_num is 0.
extern const error_data_st e4error_data[];

int e4(CODE4 *c4, int err_code, const char *desc);
int e4describe(CODE4 *c4, int err_code, const char *desc1, const char *desc2, const char *desc3);
int e4hook(CODE4 *c4, int err_code, const char *desc1, const char *desc2, const char *desc3);
void e4getErrorInfo(int *errorCodeP, char *errorStringP, int buffLen);
void e4clearErrorState(void);
const char *e4text(int err_code);
// Both answer -1 for a null context.
int e4code(CODE4 *c4);
int e4set(CODE4 *c4, int new_err_code);
// Records the report, writes it to standard error and exits with status 1.
[[noreturn]] void e4severe(int err_code, const char *desc);
[[noreturn]] void e4exit(CODE4 *c4);
void e4exit_test(CODE4 *c4);
void e4error_out(const char *text);

// Runs `fn`, a call of the engine that may allocate through the standard
// library, and answers its result; when such an allocation fails inside it
// (std::bad_alloc), the failure is reported as e4memory and answered by
// `failed`. The entry points that allocate run their work through it, so
// that out of memory leaves the engine as -920, never as an exception.
template <class R, class F> auto e4guard(CODE4 *c4, R failed, F fn) noexcept -> decltype(fn())
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        e4(c4, e4memory, nullptr);
        return failed;
    }
}

// Runs `fn`; false when an allocation inside it failed (nothing is
// reported): for steps that have another way on without the memory.
template <class F> bool e4alloc_ok(F fn) noexcept
{
    try {
        fn();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// A program's last resort when memory ran out outside the engine's entry
// points: records the -920 report, writes it to standard error without
// asking for memory, and answers the exit status of the failure.
int e4out_of_memory(void);

// The process exit status of an engine or tool status: 0 stays 0, 1-255
// pass through, 0x8000 and every other value above 255 become 1, anything
// negative becomes 255.
int e4exit_status(int status);

#endif
