// Fuzz target: the bytes of a script, run by the front end line by line
// with stand-in directive handlers in place of the dictionary. Each
// stand-in records what it was asked, touches every byte of the words it
// was given (as the real handlers upper-case a table name in place), and
// fails when its first argument begins with '!'. What the handlers were
// asked, the echo of a failing line and the result are then compared with
// a model of how a script reads:
//   - a line ends at a newline; a 0x1A byte or the end of the input ends
//     the script, the words before it on its line still run;
//   - words are separated by blanks, tabs and carriage returns;
//   - a line without words is skipped, and so is a line whose first
//     character other than a blank, tab or carriage return is '#';
//   - a line with more than three words, more than 1999 characters or a
//     NUL byte is refused unrun and echoed;
//   - a directive word is recognised by what follows its first character,
//     ignoring case; an unknown one, or one with other than its number of
//     arguments, is echoed unrun;
//   - the echo shows the words as written, control bytes as '?';
//   - the first line that fails or is refused ends the run with its status;
//     nothing after it runs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codeset/codeset.h"
#include "fuzz/fuzzutil.h"
#include "tool/ddmain.h"

namespace {

const char kProgram[] = "catalogr";
const size_t kMaxEchoed = 65536;    // a refused line longer than this is echoed in part

struct Call {
    int operation;
    std::vector<std::string> words; // the directive word and its arguments
};

std::vector<Call> g_calls;

// Checks the vector a handler was given and records it; the status the
// script asks of it.
int standIn(int operation, int argc, char **argv)
{
    fuzz::require(argc >= 2 && argc <= 1 + DDMAIN_MAX_TOKENS, "a handler got a count outside 2-4");
    fuzz::require(argv[0] != nullptr && std::strcmp(argv[0], kProgram) == 0,
                  "a handler's element 0 is not the program name");
    Call call{operation, {}};
    for (int i = 1; i <= DDMAIN_MAX_TOKENS; i++) {
        fuzz::require((argv[i] != nullptr) == (i < argc), "a vector element past the count is set");
        if (argv[i] != nullptr)
            call.words.push_back(argv[i]);
    }
    g_calls.push_back(call);
    int status = argc > 2 && argv[2][0] == '!' ? DDMAIN_FAILURE : 0;
    for (int i = 1; i < argc; i++)
        for (char *p = argv[i]; *p != 0; p++)
            *p = (char)sb_toupper((unsigned char)*p);
    return status;
}

// Arguments of each directive.
int argumentsOf(int operation)
{
    return operation == DDMAIN_OP_INIT ? 0 : operation == DDMAIN_OP_TD ? 1 : 2;
}

// A word as the echo shows it.
std::string shown(std::string word)
{
    for (char &c : word)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return word;
}

int wordOperation(const std::string &word)
{
    static const struct {
        const char *word;
        int code;
    } kWords[] = {{"INIT", DDMAIN_OP_INIT}, {"IA", DDMAIN_OP_IA}, {"ID", DDMAIN_OP_ID},
                  {"TA", DDMAIN_OP_TA},     {"TD", DDMAIN_OP_TD}};
    std::string rest;
    for (size_t i = 1; i < word.size(); i++)
        rest += (char)sb_toupper((unsigned char)word[i]);
    for (const auto &w : kWords)
        if (rest == w.word)
            return w.code;
    return 0;
}

bool isSeparator(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == 0; }

std::vector<std::string> wordsOf(const uint8_t *p, size_t n)
{
    std::vector<std::string> words;
    for (size_t i = 0; i < n;) {
        if (isSeparator(p[i])) {
            i++;
            continue;
        }
        size_t start = i;
        while (i < n && !isSeparator(p[i]))
            i++;
        words.emplace_back((const char *)p + start, i - start);
    }
    return words;
}

struct Outcome {
    std::vector<Call> calls;
    int status = 0;
    bool echoed = false;
    bool echoKnown = true;              // false for a refused line too long to echo whole
    std::vector<std::string> echo;
};

Outcome model(const uint8_t *data, size_t size)
{
    Outcome m;
    size_t pos = 0;
    while (pos < size) {
        size_t end = pos;
        while (end < size && data[end] != '\n' && data[end] != 0x1A)
            end++;
        bool last = end >= size || data[end] == 0x1A;
        const uint8_t *line = data + pos;
        size_t length = end - pos;
        pos = end + 1;
        std::vector<std::string> words = wordsOf(line, length);
        size_t first = 0;
        while (first < length && (line[first] == ' ' || line[first] == '\t' || line[first] == '\r'))
            first++;
        if (!words.empty() && !(first < length && line[first] == '#')) {
            bool hasNul = std::memchr(line, 0, length) != nullptr;
            if (words.size() > DDMAIN_MAX_TOKENS || length > DDMAIN_MAX_LINE || hasNul) {
                m.status = DDMAIN_FAILURE;
                m.echoed = true;
                m.echoKnown = length <= kMaxEchoed;
                m.echo = words;
                return m;
            }
            int op = wordOperation(words[0]);
            int status = DDMAIN_FAILURE;
            if (op != 0 && (int)words.size() - 1 == argumentsOf(op)) {
                // INIT is given no arguments and so never fails here.
                m.calls.push_back({op, op == DDMAIN_OP_INIT ? std::vector<std::string>{} : words});
                status = op != DDMAIN_OP_INIT && words[1][0] == '!' ? DDMAIN_FAILURE : 0;
            }
            if (status != 0) {
                m.status = status;
                m.echoed = true;
                m.echo = words;
                return m;
            }
        }
        if (last)
            break;
    }
    return m;
}

std::string echoText(const std::vector<std::string> &words)
{
    // Message 2029 is empty without a message file: its line is blank.
    std::string text = "\n";
    for (const std::string &w : words)
        text += shown(w) + " ";
    return text + "\n";
}

} // namespace

int ddmain_initializeCatalogr(void)
{
    g_calls.push_back({DDMAIN_OP_INIT, {}});
    return 0;
}

int ddmain_operateIndex(int argc, char **argv, int operation)
{
    fuzz::require(operation == DDMAIN_OP_IA || operation == DDMAIN_OP_ID,
                  "the index handler got another operation");
    return standIn(operation, argc, argv);
}

int ddmain_operateTable(int argc, char **argv, int operation)
{
    fuzz::require(operation == DDMAIN_OP_TA || operation == DDMAIN_OP_TD,
                  "the table handler got another operation");
    return standIn(operation, argc, argv);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mbstr_initialize(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A null buffer would have fmemopen make one of its own.
    static uint8_t nothing[1];
    FILE *script = fmemopen(data != nullptr ? const_cast<uint8_t *>(data) : nothing, size, "r");
    fuzz::require(script != nullptr, "fmemopen failed");
    char *echoed = nullptr;
    size_t echoedLen = 0;
    outFileP = open_memstream(&echoed, &echoedLen);
    fuzz::require(outFileP != nullptr, "open_memstream failed");

    g_calls.clear();
    int readError = 0;
    int status = ddmain_runScript(script, kProgram, &readError);
    std::fclose(script);
    std::fclose(outFileP);
    outFileP = stdout;
    std::string output(echoed, echoedLen);
    std::free(echoed);

    Outcome m = model(data, size);
    fuzz::require(readError == 0, "reading a script from memory failed");
    fuzz::require(status == m.status, "the script's status differs from the model's");
    fuzz::require(g_calls.size() == m.calls.size(), "the handlers ran a different number of lines");
    for (size_t i = 0; i < m.calls.size(); i++) {
        fuzz::require(g_calls[i].operation == m.calls[i].operation,
                      "a line reached the handler of another directive");
        fuzz::require(g_calls[i].words == m.calls[i].words || m.calls[i].operation == DDMAIN_OP_INIT,
                      "a handler got other words than its line holds");
    }
    if (!m.echoed)
        fuzz::require(output.empty(), "a script that ran to its end wrote an echo");
    else if (m.echoKnown)
        fuzz::require(output == echoText(m.echo), "the echo of the failing line is not its words");
    return 0;
}
