#pragma once

#include <QString>

// A request that got no usable HTTP answer (refused, timed out, cut off, too large), or a
// sign-in sheet that failed; the description is all there is to say.
struct TransportError {
    QString description;

    QString errorDescription() const { return description; }
};
