// frameplan.cpp - where the payload tool cuts a compressed payload into frames

#include "frameplan.h"

/* Leading bytes two names share. */
static size_t SharedBytes(const std::string &a, const std::string &b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n])
        n++;
    return n;
}

std::vector<unsigned long long> PlanFrames(const std::vector<std::string> &names,
                                           const std::vector<unsigned long long> &cbEntries,
                                           unsigned long long cbPayload, unsigned long long cbGoal)
{
    std::vector<unsigned long long> ends;
    unsigned long long cFrames = (cbPayload + cbGoal - 1) / cbGoal;
    // Each cut within a quarter of a share either side of where the shares
    // meet, so that no frame is more than one and a half shares.
    unsigned long long cbShare = cbPayload / cFrames, cbSlack = cbShare / 4;
    for (unsigned long long k = 1; k < cFrames; k++)
    {
        unsigned long long target = cbPayload * k / cFrames, best = target;
        size_t bestShared = (size_t)-1;
        unsigned long long at = 0;
        for (size_t i = 0; i + 1 < names.size(); i++)
        {
            at += cbEntries[i];
            if (at + cbSlack < target || at > target + cbSlack || at <= (ends.empty() ? 0 : ends.back()))
                continue;
            size_t shared = SharedBytes(names[i], names[i + 1]);
            unsigned long long distance = at > target ? at - target : target - at;
            unsigned long long bestDistance = best > target ? best - target : target - best;
            if (shared < bestShared || (shared == bestShared && distance < bestDistance))
                best = at, bestShared = shared;
        }
        ends.push_back(best);       // inside an entry when no boundary is near
    }
    ends.push_back(cbPayload);
    return ends;
}
