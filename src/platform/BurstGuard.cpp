#include "platform/BurstGuard.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Fewer pieces at once leave too little behind to be worth walking the heaps for.
constexpr int kBurst = 64;
int inFlight = 0;
int peak = 0;

void releaseFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace

BurstGuard::BurstGuard() {
    peak = std::max(peak, ++inFlight);
}

BurstGuard::~BurstGuard() {
    if (--inFlight > 0) {
        return;
    }
    const bool wasBurst = peak >= kBurst;
    peak = 0;
    if (!wasBurst) {
        return;
    }
    // Queued behind the deferred deletions of the burst's last objects.
    if (QCoreApplication* const app = QCoreApplication::instance()) {
        QTimer::singleShot(0, app, releaseFreedMemory);
    } else {
        releaseFreedMemory();
    }
}
