// Processes sharing one table with five tags: forked workers, each with an
// engine of its own, append, change keys, delete and recall, seek, walk,
// rebuild, check and pack it at random, journalling line by line ("+ID":
// an append done, "!what": a failure or a -310 met); check() judges the
// rest. Records a pack may take away are appended deleted, with IDs that
// begin with X and are never journalled.
#ifndef CATALOGR_TESTS_SHAREDLOAD_H
#define CATALOGR_TESTS_SHAREDLOAD_H

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>

#include "tests/xbase/index/indextest.h"
#include "xbase/d4tag.h"
#include "xbase/expr/expr4.h"

namespace sharedload {

enum Op { kAppend, kChange, kDelete, kSeek, kWalk, kRebuild, kCheck, kPack, kTrash, kOps };
struct Workload {
    int workers, weights[kOps]; // each worker draws its operations so
};
inline const Workload kWalkAndAppend{2, {1, 0, 0, 0, 1, 0, 0}}, kMixAll{5, {30, 20, 10, 15, 15, 1, 3}};
inline const FIELD4INFO kFields[] = {
    {"ID", 'C', 8, 0}, {"NAME", 'C', 6, 0}, {"AMT", 'N', 7, 2}, {"DT", 'D', 8, 0}, {nullptr, 0, 0, 0}};
inline const std::vector<indextest::TagDef> kTags = {
    {"UID", "ID", "", true, false}, {"NAMED", "NAME", "", false, true}, {"POS", "NAME+ID", "AMT > 0", false, false},
    {"LIVE", "NAME", ".NOT. DELETED()", false, false}, {"DTAMT", "DTOS(DT)+STR(AMT,7,2)", "", false, false}};

// Appends record `id` or (no id) changes the current one; few names repeat.
inline int put(DATA4 *d, const std::string &id, std::mt19937 &rng)
{
    int rc = id.empty() ? 0 : d4append_start(d, 0);
    if (!id.empty()) {
        d4blank(d); // live, whatever the record before was
        f4assign(d4field(d, "ID"), id.c_str());
    }
    f4assign(d4field(d, "NAME"), ("N" + std::to_string(100 + rng() % 150)).c_str());
    f4assign_double(d4field(d, "AMT"), (double)((int)(rng() % 200) - 60) / 4);
    f4assign(d4field(d, "DT"), std::to_string(20240101 + 100 * (rng() % 12) + rng() % 28).c_str());
    return rc != 0 ? rc : id.empty() ? d4unlock(d) : d4append(d);
}

// One operation: "" or what went wrong.
inline std::string operate(DATA4 *d, int op, const std::string &id, std::mt19937 &rng)
{
    long count = d4reccount(d), rec = count > 0 ? 1 + (long)(rng() % (unsigned long)count) : 1;
    TAG4 *tag = d4tag(d, kTags[rng() % kTags.size()].name.c_str());
    std::string found;
    int rc = op == kAppend ? put(d, id, rng) : 0;
    if ((op == kChange || op == kDelete) && (rc = d4lock(d, rec)) == 0 && (rc = d4go(d, rec)) == 0)
        rc = op == kChange ? put(d, "", rng) : ((d4deleted(d) ? d4recall(d) : d4delete(d)), d4unlock(d));
    d4tag_select(d, tag);
    if (op == kSeek) // a prefix of some of the tag's keys
        rc = d4seek(d, (std::string(tag->alias[0] == 'D' ? "20240" : tag->alias[0] == 'U' ? "A1" : "N1") +
                        char('0' + rng() % 10)).c_str());
    for (int n = 0, up = rng() % 2; op == kWalk && n < 40 && rc == 0; n++)
        rc = n == 0 ? (up ? d4top(d) : d4bottom(d)) : d4skip(d, up ? 1 : -1);
    d4tag_select(d, nullptr);
    if (op == kRebuild && (rc = d4reindex(d)) == 0)
        rc = d4unlock(d);
    if (op == kPack && (rc = d4pack(d)) == 0)
        rc = d4unlock(d);
    if (op == kTrash && (rc = put(d, "X" + id.substr(0, 1) + id.substr(2), rng)) == 0)
        rc = (d4delete(d), d4unlock(d));
    if (op == kCheck && (rc = d4lock_index(d)) == 0 && (found = indextest::checkIndexes(d)).empty())
        rc = d4unlock_index(d);
    if ((rc == 0 || rc == r4after || rc == r4eof || rc == r4bof) && found.empty() && d4test::lastErrorCode() != e4index)
        return "";
    return "op " + std::to_string(op) + ": " + std::to_string(rc) + " " + found + d4test::lastError();
}

// Worker `w` works on the table for `seconds`, journalling to `journal`.
inline pid_t startWorker(const std::string &path, const Workload &wl, int w, unsigned seed,
                         const std::string &journal, double seconds)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int fd = open(journal.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), total = 0;
    alarm((unsigned)seconds + 60); // a worker that waits for ever is killed
    mbstr_initialize(0);
    CODE4 c4;
    d4init(&c4);
    DATA4 *d = d4open(&c4, path.c_str());
    std::mt19937 rng(seed);
    for (int weight : wl.weights)
        total += weight;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    // IDs of eight characters, never the same for two workers: A to H, then
    // a hundred thousand numbers on for each eight workers.
    for (long seq = 1000000 + 100000L * (w / 8); d != nullptr && std::chrono::steady_clock::now() < end; seq++) {
        int pick = (int)(rng() % (unsigned)total), op = 0;
        while (pick >= wl.weights[op])
            pick -= wl.weights[op++];
        e4clearErrorState();
        std::string id = char('A' + w % 8) + std::to_string(seq), failed = operate(d, op, id, rng);
        std::string line = (failed.empty() ? "+" + id : "!" + failed) + "\n";
        if ((op == kAppend || !failed.empty()) && write(fd, line.data(), line.size()) != (ssize_t)line.size())
            _exit(9);
    }
    _exit(d != nullptr && d4close(d) == 0 ? 0 : 8);
}

// What is wrong after workers with these journals ("" nothing): failures,
// the tree checker's finding, a tag unlike the keys of the records that pass
// its filter, a first record ("Z...") or journalled append not there once,
// a deleted one ("X...") or another append (of a killed worker) there twice
// or, with `exact`, another append there at all.
inline std::string check(CODE4 *c4, const std::string &path, const std::vector<std::string> &journals, bool exact)
{
    std::string problems;
    std::map<std::string, int> ids;
    for (const std::string &j : journals)
        for (size_t at = 0, nl; (nl = j.find('\n', at)) != std::string::npos; at = nl + 1)
            j[at] == '+' ? (void)ids[j.substr(at + 1, nl - at - 1)]--
                         : (void)(problems += problems.size() < 2000 ? " " + j.substr(at, nl - at) : "");
    DATA4 *d = d4open(c4, path.c_str());
    if (d == nullptr)
        return problems + " the table does not open: " + d4test::lastError();
    if (d4lock_index(d) != 0)
        problems += " the index does not lock: " + d4test::lastError();
    problems += indextest::checkIndexes(d);
    std::map<TAG4 *, indextest::Entries> want;
    char *key = nullptr;
    FIELD4 *id = d4field(d, "ID"); // the records of a table without ID are not counted
    for (long r = 1; r <= d4reccount(d) && d4go_data(d, r) == 0; r++) {
        if (id != nullptr)
            ids[std::string(f4ptr(id), 8)]++;
        for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr; t4 = d4tag_next(d, t4))
            if ((t4->filter == nullptr || expr4true(t4->filter) == 1) && t4expr_key(t4, &key) > 0)
                want[t4].emplace_back(std::string(key, (size_t)t4->header.key_len), r);
    }
    for (TAG4 *t4 = d4tag_next(d, nullptr); t4 != nullptr; t4 = d4tag_next(d, t4)) {
        std::sort(want[t4].begin(), want[t4].end());
        if (indextest::walk(t4).keys != want[t4])
            problems += " tag " + std::string(t4->alias) + " does not hold the keys of the records";
    }
    for (const auto &kv : ids)
        if (kv.second < (kv.first[0] == 'Z') || kv.second > (kv.first[0] == 'Z' || kv.first[0] == 'X' || !exact))
            problems += " record " + kv.first + " is there " + std::to_string(kv.second) + " times more than journalled";
    d4close(d);
    return problems;
}

// Runs a workload for `seconds` on a new table of 200 records; its problems.
inline std::string run(const Workload &wl, unsigned seed, double seconds,
                       const std::function<std::string(CODE4 *, const std::string &)> &meanwhile = nullptr)
{
    d4test::Engine e;
    std::string path = indextest::makeTable(e, "SHARED", kFields, kTags), problems;
    DATA4 *d = path.empty() ? nullptr : d4open(&e.c4, path.c_str());
    std::mt19937 rng(seed);
    for (int i = 0; d != nullptr && i < 200; i++)
        put(d, "Z" + std::to_string(1000000 + i), rng);
    if (d == nullptr || d4close(d) != 0)
        return "cannot make the table: " + d4test::lastError();
    std::vector<pid_t> pids;
    for (int w = 0; w < wl.workers; w++)
        pids.push_back(startWorker(path, wl, w, seed + (unsigned)w, e.path("j" + std::to_string(w)), seconds));
    if (meanwhile)
        problems += meanwhile(&e.c4, path); // what this process does while they work
    std::vector<std::string> journals;
    for (int w = 0, status = 0; w < wl.workers; w++) {
        if (waitpid(pids[(size_t)w], &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            problems += " worker " + std::to_string(w) + " did not finish";
        journals.push_back(testutil::readFile(e.path("j" + std::to_string(w))));
    }
    return problems + check(&e.c4, path, journals, true);
}

} // namespace sharedload

#endif
