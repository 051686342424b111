#include "platform/BurstGuard.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Fewer pieces at once leave too little behind to be worth walking the heaps for.
constexpr int kBurst = 64;
constexpr std::chrono::milliseconds kSettle{1000};
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
    // A moment later: the burst's last objects are deleted later, and the network thread lets
    // go of its share after them.
    if (QCoreApplication* const app = QCoreApplication::instance()) {
        QTimer::singleShot(kSettle, app, releaseFreedMemory);
    } else {
        releaseFreedMemory();
    }
}
