// pathjoin.h - joins up to five texts into one of ten rotating slots
//
// Plain C++ with no <windows.h>, so it also builds and is tested natively.

#ifndef PATHJOIN_H
#define PATHJOIN_H

#include <stddef.h>

#define PATH_RING_SLOTS 10
#define PATH_SLOT_BYTES 1280

/* Copies the non-null pieces, in order, into the next slot of the ring and returns
   it. The text stays valid until ten more calls have been made. A joined text
   longer than PATH_SLOT_BYTES - 1 bytes is cut there; the slot is always
   zero-terminated. */
char *JoinPath(const char *piece1, const char *piece2 = 0, const char *piece3 = 0,
               const char *piece4 = 0, const char *piece5 = 0);

/* Appends text to the zero-terminated target of cbTarget bytes. Returns 1 when all
   of it fit; otherwise 0, with target holding as much as fit, still terminated
   (a target with no zero in its cbTarget bytes is left as it is). */
int AppendText(char *target, size_t cbTarget, const char *text);

#endif
