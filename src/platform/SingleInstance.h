#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QUrl>

#include <expected>
#include <functional>
#include <memory>
#include <optional>

// One running helper per user. The first start listens on a local socket that only the same
// user can reach; a later start hands its request (show the window, or a sign-in callback URL)
// to it and exits, with success only once the running one has handled it.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // The folder for the socket and its lock: the user's runtime folder as the gate finds it
    // (UserDirs), else "kestrova-helper" in the user's cache folder, made 0700. A cache folder
    // that is not the user's, not 0700 or not a folder is refused, with the reason.
    static std::expected<QString, QString> socketFolder();
    // The socket in that folder; empty when there is no safe folder.
    static QString socketPath();

    // Becomes the running instance; false when another one already is. A socket left by a
    // crashed instance is cleared. When no hand-over can be set up (no safe folder, the lock
    // or listen() failing) this instance runs anyway and listenError() says why.
    bool claim();
    std::optional<QString> listenError() const { return m_listenError; }

    // Takes a URL a later start passed, or says why not; the later start reports the answer.
    using UrlHandler = std::function<std::expected<void, QString>(const QUrl&)>;
    void setUrlHandler(UrlHandler handler) { m_urlHandler = std::move(handler); }

    // From a later start: asks the running instance to show itself (with the launcher's
    // activation token, if there is one), or passes it the URL.
    // Succeeds once the running instance has answered that it took the request; the error is
    // a one-line reason fit for stderr.
    static std::expected<void, QString> requestShow();
    static std::expected<void, QString> sendUrl(const QUrl& url);

signals:
    void showRequested(const QByteArray& activationToken);

private:
    static std::expected<void, QString> send(const QByteArray& message);
    void onConnection();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    std::optional<QString> m_listenError;
    UrlHandler m_urlHandler;
};
