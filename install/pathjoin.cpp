// pathjoin.cpp - joins up to five texts into one of ten rotating slots

#include "pathjoin.h"

#include <string.h>

static char s_pathRing[PATH_RING_SLOTS][PATH_SLOT_BYTES];   /* the slots JoinPath hands out */
static int s_nextSlot;                                      /* slot the next call fills */

int AppendText(char *target, size_t cbTarget, const char *text)
{
    size_t used = strnlen(target, cbTarget);
    if (used == cbTarget)
        return 0;                       // target not terminated: nothing fits
    size_t room = cbTarget - used - 1;
    size_t cb = strlen(text);
    int whole = cb <= room;
    if (!whole)
        cb = room;
    memcpy(target + used, text, cb);
    target[used + cb] = 0;
    return whole;
}

char *JoinPath(const char *piece1, const char *piece2, const char *piece3,
               const char *piece4, const char *piece5)
{
    const char *pieces[5] = { piece1, piece2, piece3, piece4, piece5 };
    char *slot = s_pathRing[s_nextSlot];
    memset(slot, 0, PATH_SLOT_BYTES);
    for (int i = 0; i < 5; i++)
    {
        if (pieces[i])
            AppendText(slot, PATH_SLOT_BYTES, pieces[i]);
    }
    s_nextSlot = (s_nextSlot + 1) % PATH_RING_SLOTS;
    return slot;
}
