#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QUrl>

#include <memory>

// One running helper per user. The first start listens on a local socket that only the same
// user can reach; a later start hands its request (show the window, or a sign-in callback URL)
// to it and exits.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // In the user's runtime folder, else a per-user name in the temporary folder.
    static QString socketPath();

    // Becomes the running instance; false when another one already is. A socket left by a
    // crashed instance is cleared.
    bool claim();

    // From a later start: asks the running instance to show itself, or passes it the URL.
    static bool requestShow();
    static bool sendUrl(const QUrl& url);

signals:
    void showRequested();
    void urlReceived(const QUrl& url);

private:
    static bool send(const QByteArray& message);
    void onConnection();
    void handleMessage(const QByteArray& message);

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
};
