#pragma once

#include <QUrl>

#include <functional>

// The product web site: shown by name in the menu and the pairing window, opened in the
// user's browser from the menu and the welcome window.
struct WebSite {
    QUrl baseUrl;
    std::function<void(const QUrl&)> open;

    QString hostName() const { return baseUrl.host(); }
    QUrl downloadUrl() const {
        QUrl url = baseUrl;
        url.setPath(QStringLiteral("/download"));
        return url;
    }
};
