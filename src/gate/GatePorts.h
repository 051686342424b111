#pragma once

#include <QtGlobal>

// The loopback ports of the two gates: the one this helper runs, and a developer's own.
namespace GatePorts {
inline constexpr quint16 own = 8789;
inline constexpr quint16 existing = 8788;
} // namespace GatePorts
