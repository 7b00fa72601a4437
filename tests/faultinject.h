// Failures injected through the platform call table: the Nth read, write,
// commit, length change or rename after arming fails with EIO or ENOSPC, or
// moves only part of its bytes before the disk gives out. Shared by every
// test that checks what a failed operation leaves behind.
#ifndef CATALOGR_TESTS_FAULTINJECT_H
#define CATALOGR_TESTS_FAULTINJECT_H

#include <string>
#include <vector>

namespace faults {

enum class Call { read, write, sync, length, rename };
enum class Kind {
    eio,        // the call fails with EIO and moves nothing
    enospc,     // the call fails with ENOSPC and moves nothing
    partial     // a read or write moves half its bytes (none of one byte) and
                // the call that would move the rest fails (EIO for reads,
                // ENOSPC for writes); other calls fail with EIO
};

struct Mode {
    Call call;
    Kind kind;
};

std::string describe(Mode mode);

// Every mode worth running: reads fail or stop half way; writes fail with
// either error or stop half way; commits, length changes and renames fail.
std::vector<Mode> allModes();

// Arms one failure for its lifetime: the `nth` call (counting from 1) of the
// mode's kind fails as the mode says; every other call goes to the system.
// The destructor puts the system calls back.
struct Injector {
    Injector(Mode mode, int nth);
    ~Injector();
    Injector(const Injector &) = delete;
    Injector &operator=(const Injector &) = delete;
    // Whether the failure has happened.
    bool fired() const;
};

} // namespace faults

#endif
