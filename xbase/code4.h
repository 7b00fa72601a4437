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
// One pause of a lock wait on `file_name` (about a second), the `polls`-th
// attempt having found the lock held; the context's lock_wait_hook hears of
// it first.
void code4lock_wait(CODE4 *c4, const char *file_name, int polls);

#endif
