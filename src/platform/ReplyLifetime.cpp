#include "platform/ReplyLifetime.h"

#include <QTimer>

namespace ReplyLifetime {

void abortAfter(QNetworkReply& reply, std::chrono::milliseconds deadline,
                std::function<void()> beforeAbort) {
    auto* timer = new QTimer(&reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, &reply,
                     [&reply, beforeAbort = std::move(beforeAbort)] {
                         if (beforeAbort) {
                             beforeAbort();
                         }
                         reply.abort();
                     });
    timer->start(deadline);
}

} // namespace ReplyLifetime
