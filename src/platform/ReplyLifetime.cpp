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

void Finished::await_suspend(std::coroutine_handle<> waiting) {
    m_connection = QObject::connect(&m_reply, &QNetworkReply::finished, [this, waiting] {
        QObject::disconnect(m_connection);
        // Last: the work resumed may end, and this awaiter with it.
        waiting.resume();
    });
}

} // namespace ReplyLifetime
