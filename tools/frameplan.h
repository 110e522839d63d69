// frameplan.h - where the payload tool cuts a compressed payload into frames
//
// Frames decode on their own, so that the setup can decode two at once; but a
// frame cannot refer to the bytes of the one before it, and a cut costs what
// the bytes after it would have found there. Cut between two files that share
// nothing, that costs a fraction of a percent; cut among near-copies (the
// folder walk puts d3dx9_32.dll to d3dx9_41.dll side by side) or inside a
// file, several times that. So a product is cut into few large frames, each
// cut at the entry boundary near its share where the names on either side
// have the least in common: files named alike are most often alike, and a
// folder's files share their folder's name.

#ifndef FRAMEPLAN_H
#define FRAMEPLAN_H

#include <string>
#include <vector>

#define FRAME_BYTES_GOAL   (64ull << 20)    /* each frame's share of the product is at most this */
#define FRAME_BYTES_MAX    (FRAME_BYTES_GOAL / 2 * 3) /* no frame decodes to more */

/* Where the frames of a stored payload end, as offsets into it, the last at
   its end (cbPayload): names[i] and cbEntries[i] are the i-th entry's name and
   its bytes in the payload (name, zero, length and data). As many shares as
   it takes to make each at most cbGoal (FRAME_BYTES_GOAL; bench/framesizes
   tries others): one frame up to cbGoal. */
std::vector<unsigned long long> PlanFrames(const std::vector<std::string> &names,
                                           const std::vector<unsigned long long> &cbEntries,
                                           unsigned long long cbPayload, unsigned long long cbGoal = FRAME_BYTES_GOAL);

#endif
