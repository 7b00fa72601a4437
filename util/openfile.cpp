// The open-file slot table: a fixed number of stdio streams handed out as
// small integer handles, so that callers keep a short instead of a FILE *.
#include <cstdio>

#include "platform/platform.h"
#include "util/findfile.h"

namespace {

struct file_id {
    FILE *stream;
    int inUse;
};

file_id slots[UTIL_MAX_OPEN_FILES];

bool validSlot(short handle)
{
    return handle >= 0 && handle < UTIL_MAX_OPEN_FILES && slots[handle].inUse;
}

int freeSlot(void)
{
    for (int i = 0; i < UTIL_MAX_OPEN_FILES; i++)
        if (!slots[i].inUse)
            return i;
    return -1;
}

// Opens `nameP` with `mode` into a free slot: 0, -1 with no slot free, or
// `openFailed` when the stream does not open.
int openInSlot(const char *nameP, const char *mode, short *handleP, int openFailed)
{
    if (nameP == nullptr || handleP == nullptr)
        return openFailed;
    int slot = freeSlot();
    if (slot < 0)
        return -1;
    FILE *f = platform_fopen(nameP, mode);
    if (f == nullptr)
        return openFailed;
    slots[slot].stream = f;
    slots[slot].inUse = 1;
    *handleP = (short)slot;
    return 0;
}

} // namespace

int open_file(const char *nameP, int mode, short *handleP)
{
    return openInSlot(nameP, mode == 0 ? "r" : "r+", handleP, UTIL_OPEN_FAILED);
}

int create_file(const char *nameP, short *handleP)
{
    return openInSlot(nameP, "w", handleP, -1);
}

int close_file(short handle)
{
    if (validSlot(handle)) {
        std::fclose(slots[handle].stream);
        slots[handle].stream = nullptr;
        slots[handle].inUse = 0;
    }
    return 0;
}

FILE *handle_to_file(short handle)
{
    return validSlot(handle) ? slots[handle].stream : nullptr;
}

short file_to_handle(FILE *pfile)
{
    if (pfile == nullptr)
        return -1;
    for (int i = 0; i < UTIL_MAX_OPEN_FILES; i++)
        if (slots[i].inUse && slots[i].stream == pfile)
            return (short)i;
    return -1;
}
