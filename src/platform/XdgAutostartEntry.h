#pragma once

#include "platform/LoginItemService.h"

// The login item of freedesktop desktops: an entry in the user's autostart folder.
// Enabled means the entry is a regular file whose Exec starts this program, and it is neither
// Hidden=true nor turned off with X-GNOME-Autostart-enabled=false. Registering rewrites it.
class XdgAutostartEntry final : public LoginItemService {
public:
    XdgAutostartEntry(QString autostartFolder, QString appId, QString executablePath);

    // The folder under the user's XDG config home.
    static QString userAutostartFolder();

    std::expected<void, QString> setRegistered(bool registered) override;
    bool isEnabled() const override;

    QString entryPath() const;
    QByteArray entryContents() const;

private:
    QString m_folder;
    QString m_appId;
    QString m_executable;
};
