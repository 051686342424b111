#pragma once

#include <QNetworkReply>

#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>

// How the program holds a network reply: deleted later (it may still be emitting), and ended
// by a deadline for the whole exchange, since Qt's transfer time-out never ends an answer that
// keeps dripping.
namespace ReplyLifetime {

struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};
using Owned = std::unique_ptr<QNetworkReply, LaterDeleter>;

// Aborts the reply once the deadline passes, after calling beforeAbort. The timer belongs to
// the reply, so it goes when the reply does.
void abortAfter(QNetworkReply& reply, std::chrono::milliseconds deadline,
                std::function<void()> beforeAbort = {});

// Awaited, resumes once the reply has finished: at once if it already has, else from inside its
// finished signal, so that an abort (at shutdown too) resumes the waiting work before it returns.
struct Finished {
    QNetworkReply& reply;

    bool await_ready() const { return reply.isFinished(); }
    void await_suspend(std::coroutine_handle<> waiting) const {
        QObject::connect(
            &reply, &QNetworkReply::finished, &reply, [waiting] { waiting.resume(); },
            Qt::SingleShotConnection);
    }
    static void await_resume() noexcept {}
};

} // namespace ReplyLifetime
