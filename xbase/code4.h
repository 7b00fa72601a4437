// The engine context: initialisation with its defaults, release, the list
// of open data files, and the build-options word.
#ifndef CATALOGR_CODE4_H
#define CATALOGR_CODE4_H

#include "xbase/x4types.h"

void d4init(CODE4 *c4);
CODE4 *code4alloc(int do_init);
int d4init_undo(CODE4 *c4);
int d4close_all(CODE4 *c4);
DATA4 *d4data(CODE4 *c4, const char *alias);
int u4switch(void);
// Lock waits poll: the first pauses are short, so that a lock let go is
// soon taken by one of the processes that wait for it and not always by
// the one that let it go; each pause is longer than the one before, up to
// a second. The caller's lock_attempts keeps its meaning in time: -1 waits
// without end, 0 and 1 make one attempt, N > 1 waits as long as N attempts
// a second apart did (N - 1 seconds).
//
// The pause before the next attempt of a wait allowing `attempts` whose
// `polls` attempts found the lock held, in milliseconds; -1 when the wait
// must give up.
int code4lock_pause_ms(int attempts, int polls);
// How long the pauses before the `polls`-th attempt of a wait without end
// took together, in milliseconds.
long code4lock_waited_ms(int polls);
// One pause of `pause_ms` of a lock wait on `file_name`, the `polls`-th
// attempt having found the lock held; the context's lock_wait_hook hears of
// it first.
void code4lock_wait(CODE4 *c4, const char *file_name, int polls, int pause_ms);

#endif
