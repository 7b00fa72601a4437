// The dictionary tool's front end: process start-up, the command line and
// script files, dispatch of directives to their handlers, message texts
// fetched by number from the program's resource file, usage and exit status.
#ifndef CATALOGR_DDMAIN_H
#define CATALOGR_DDMAIN_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "util/findfile.h"
#include "xbase/xbase.h"

// The tool's general failure status (exits with 1).
enum { DDMAIN_FAILURE = 0x8000 };

// Operation codes of the directive words.
enum {
    DDMAIN_OP_INIT = 1,
    DDMAIN_OP_IA = 2,
    DDMAIN_OP_ID = 3,
    DDMAIN_OP_TA = 4,
    DDMAIN_OP_TD = 5
};

// Message numbers in string list DDMAIN_MSG_LIST of the program's resource
// file. Numbers 2016 and 2019-2023 are not used.
enum {
    DDMAIN_MSG_LIST = 1,
    DDMAIN_MSG_USAGE_FIRST = 2001,      // printed with "%s\n\n"
    DDMAIN_MSG_USAGE_NAME = 2002,       // printed with "catalogr - %s\n"
    DDMAIN_MSG_USAGE_REST = 2003,       // 2003-2011, one line each
    DDMAIN_MSG_USAGE_LAST = 2011,
    DDMAIN_MSG_ERROR_PREFIX = 2012,
    DDMAIN_MSG_TABLE_EXISTS = 2013,     // %s table
    DDMAIN_MSG_DICT_OPEN = 2014,
    DDMAIN_MSG_DATA_OPEN = 2015,        // %s: the file argument
    DDMAIN_MSG_INIT_EXISTS = 2017,
    DDMAIN_MSG_INIT_CREATE = 2018,
    DDMAIN_MSG_HAS_INDEX = 2024,        // %s table, %s registered index file
    DDMAIN_MSG_NO_INDEX = 2025,         // %s table
    DDMAIN_MSG_SQLTABLE_OPEN = 2026,
    DDMAIN_MSG_NOT_REGISTERED = 2027,   // %s table
    DDMAIN_MSG_TD_NOT_REGISTERED = 2028,
    DDMAIN_MSG_ECHO = 2029
};

enum {
    DDMAIN_MSG_LEN = 128,           // a message buffer, terminator included
    // Bytes of a text shown in a line on standard error: an engine report
    // always fits whole, a longer file name is cut with "...".
    DDMAIN_SHOWN_MAX = E4_ERROR_BUFFER_LEN - 1,
    DDMAIN_MAX_LINE = 1999,         // characters of one script line
    DDMAIN_MAX_TOKENS = 3,          // directive word and two arguments
    DDMAIN_MAX_DIR = UTIL_MAX_PATH  // characters of currentDir
};

// Process-wide state owned by the front end.
extern FILE *outFileP;              // where messages go: stdout or the script's output file
extern uint32_t rscFileHandle;      // the program's message resource file
extern int useCatalogrPaths;        // 1 when VX_XBDDPATH is defined (even empty)
extern char currentDir[DDMAIN_MAX_DIR + 1];     // working directory at start, no trailing '/'
extern CODE4 code_base;             // the one engine context
extern char warning[DDMAIN_MSG_LEN];            // cache of the error prefix; empty until needed
extern const char localUser[];      // "PUBLIC"

// The whole program: start-up, one directive or a script, the end. Returns
// the tool status (0, 0x8000, a small engine result, or -1 for a start-up
// failure); main maps it to the exit status with e4exit_status.
int ddmain_main(int argc, char **argv);

// The program as main runs it: ddmain_main's status mapped to the exit
// status. The engine answers out of memory as -920 itself; memory that runs
// out in the front end's own work ends the run with the engine's -920
// report, the tables closed and the message file too, and the failure
// status (255), not an abort.
int ddmain_run(int argc, char **argv);

// The command line after start-up: --help or -h (the usage, without the
// echo, on standard output), a script switch (-S, -O) or one directive.
// Returns the status. In script mode a second argument must be the other
// switch (-O after -S, -S after -O, either case) and each switch must carry
// a file name; anything else is refused with 0x8000 before a file is
// opened. -S- reads the script from standard input.
int ddmain_processCommandLine(int argc, char **argv);

// Recognises the directive in argv[1], checks that it has exactly its
// arguments and calls its handler with a copy of them, so that `argv`
// stays as written for the echo. 0x8000, after ddmain_refuse says why, for
// an unknown word, a missing one, or too few or too many arguments. The
// engine's last-error slot is emptied before the handler runs; when the
// handler fails, the reason is put on standard error: that a lock wait
// was given up (VX_LOCKWAIT), or the engine's report made meanwhile
// (ddmain_putEngineReport).
int ddmain_processDirective(int argc, char **argv);

// A directive refused for `why` (a text made safe to show): the reason is
// kept for the report of a failing script line, which carries it; on the
// command line it goes to standard error at once as "catalogr: <why>".
void ddmain_refuse(const std::string &why);

// Why a file could not be opened or created, from a platform result
// (platform_lastFailure): "<name>: <the system's reason>", or "<name> is
// not a regular file".
std::string ddmain_fileFailure(const std::string &shownName, int platformResult);

// Writes the engine report held in the last-error slot, if any, as the line
// "catalogr: <report>" on standard error and empties the slot, so that it
// is never shown twice. 1 when a line was written, else 0. A handler that
// prints its own message after the engine's (INIT) calls it first.
int ddmain_putEngineReport(void);

// Writes "catalogr: <text>" as one line on standard error, `text` made safe
// to show (ddmain_safeText). A directive calls it to say why it refused
// something the engine had no report for.
void ddmain_putReason(const std::string &text);

// The lock-wait hook of code_base (installed by ddmain_main). Once a wait
// has lasted a second it writes "catalogr: waiting for a lock on <file>" on
// standard error, once per wait, naming the process that holds the lock
// where the system tells it. When the wait has lasted ddmain_lockWaitLimit
// seconds, the lock's next attempt fails (the directive then fails saying
// so, ddmain_processDirective).
void ddmain_noteLockWait(CODE4 *c4, const char *fileName, int polls);
// Seconds a lock is waited for, from VX_LOCKWAIT; -1 (unset): for ever.
extern long ddmain_lockWaitLimit;

// `text` made safe for one line of a terminal: control characters
// (codeSet_isControl) and, in UTF-8 text, bytes that start no character
// become '?', and at most `maxBytes` bytes are kept, cut between characters
// of the code set, with "..." added when cut.
std::string ddmain_safeText(const char *text, size_t maxBytes);

// The operation code of a directive argument: its first character is
// skipped and the rest compared, ignoring case, with the directive words.
int ddmain_getOperationType(const char *argument);

// Runs a script ("-": standard input). `outFile` may be null. Returns 0 at
// the end of the script and 0x8000 when a file cannot be opened, when the
// output file is the script itself, or when the script cannot be read;
// each of these refusals first writes one line on standard error naming
// the file and the reason. Blank lines and lines whose first non-blank
// character is '#' are skipped. A failing line is echoed as written and
// reported on standard error as "catalogr: <script> line <n>: <the line>:
// <reason>", and ends the process at once with that line's status (mapped
// by e4exit_status).
int ddmain_processScriptFile(const char *scriptFile, const char *outFile,
                             const char *executableName);

// The lines of an open script, run in order until its end (a 0x1A byte or
// the end of the stream) or the first line that fails. Blank lines and
// lines whose first non-blank character is '#' are skipped. Returns 0 when
// every line ran; the status of the first failing line once its words are
// echoed as written (0x8000 for a line refused unrun: more than three
// words, more than 1999 characters, or a NUL byte); or 0x8000 with the
// system's error number in `*readError` (else 0) when the stream could not
// be read, the line it cut short unrun. With `reportName` (the script as
// shown) the failing line is also reported on standard error as
// "catalogr: <reportName> line <n>: <the line>: <reason>". The process goes
// on: ending it is the caller's part.
int ddmain_runScript(FILE *script, const char *executableName, int *readError,
                     const char *reportName = nullptr);

// Opens the message file of the program called `exeFileName`: the
// program's name with extension "rsc" and, when the program was called by
// another name (a link, a copy) and that file is nowhere, "catalogr.rsc".
// Each name is looked for, in order: as the program was called (a name
// without directory in the current directory, then along VX_RSRCPATH);
// beside the running executable; in the data directory seen from the
// executable (../share/catalogr), so that an installation under any prefix,
// or moved as a whole, finds it; in the configured data directory. 0, or
// 0x8000 with what the error line says after "cannot open the message
// file" in `failure` (when given): every place looked in, in order. A
// program name too long for a file name, one without a file name (ending
// in '/'), and one whose message-file name would be too long open nothing:
// `failure` then says "for the program" and the program name cut for
// display.
int ddmain_initializeResources(const char *exeFileName, std::string *failure = nullptr);
int ddmain_closeResources(void);

// Copies message `number` into `message` (DDMAIN_MSG_LEN bytes); the
// resource manager's result. A missing message leaves `message` empty.
int ddmain_fetchString(char *message, int number);

// Writes the text to outFileP exactly as it stands.
void ddmain_printString(const char *outString);
// Writes message `number` and a newline to outFileP.
void ddmain_putString(int number);
// Writes the error line "\n<prefix> <message>\n" for a message without
// placeholders.
void ddmain_putError(int number);

// Message `number` with its listed "%s" placeholders filled, in order, by
// arg1 and arg2 (a null argument fills in nothing). Every other character,
// '%' included, stands as it is in the message file; the texts are never
// used as a printf format and the result has no length limit.
std::string ddmain_formatMessage(int number, const char *arg1, const char *arg2);
// Writes the error line "\n<prefix> <message>\n" with the placeholders filled.
void ddmain_putMessage(int number, const char *arg1, const char *arg2);
// Writes the INIT error line "\n<prefix> <message>: <tableName>\n".
void ddmain_putInitError(int number, const char *tableName);
// Number of "%s" placeholders message `number` carries (0, 1 or 2).
int ddmain_placeholderCount(int number);

// Usage: the first two lines to standard output, the other nine to
// outFileP, then the echo of the arguments.
void ddmain_printUsage(int argc, char **argv);
// Message 2029, then argv[1] .. argv[argc-1] each followed by a blank,
// then a newline, control characters shown as '?'; nothing when argc is 0.
void ddmain_echoArguments(int argc, char **argv);

// The directive handlers, built with the program (not in the front-end
// library, so that tests can supply their own). Each returns the
// directive's status. INIT returns 0 when it made the dictionary or found
// the whole of one there (message 2017), and 0x8000 when it found part of
// one (each missing file named) or could not make all three tables (what
// it made is removed).
int ddmain_initializeCatalogr(void);
int ddmain_operateIndex(int argc, char **argv, int operation);
int ddmain_operateTable(int argc, char **argv, int operation);

#endif
