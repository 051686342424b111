#pragma once

// Work that can come in bursts (a thousand probe cycles asked for at once) leaves glibc holding
// the pages of the freed peak: fragmentation keeps its heaps from shrinking by themselves, and
// the resident set would stay tens of megabytes higher for good. A BurstGuard marks one piece
// of such work for as long as it lives; once the last of a large burst has ended, the memory
// it freed goes back to the system. Main thread only.
class BurstGuard {
public:
    BurstGuard();
    ~BurstGuard();
    BurstGuard(const BurstGuard&) = delete;
    BurstGuard& operator=(const BurstGuard&) = delete;
    BurstGuard(BurstGuard&&) = delete;
    BurstGuard& operator=(BurstGuard&&) = delete;
};
