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

// Awaited, resumes once the reply has finished: at once if it already has, else within its
// finished signal, so that an abort (at shutdown too) resumes the waiting work before it returns.
class Finished {
public:
    explicit Finished(QNetworkReply& reply)
        : m_reply(reply) {}
    // Moved only before it waits, when it holds no connection yet.
    Finished(Finished&&) noexcept = default;
    Finished(const Finished&) = delete;
    Finished& operator=(const Finished&) = delete;
    Finished& operator=(Finished&&) = delete;
    ~Finished() { QObject::disconnect(m_connection); }

    bool await_ready() const { return m_reply.isFinished(); }
    void await_suspend(std::coroutine_handle<> waiting);
    static void await_resume() noexcept {}

private:
    QNetworkReply& m_reply;
    QMetaObject::Connection m_connection;
};

} // namespace ReplyLifetime
