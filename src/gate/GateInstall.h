#pragma once

#include <QString>

#include <optional>

// Where the gate's program is: the daemon (and a runtime, when a package ships one) in the
// resource folder, else the daemon installed in the home's "bramblekit" folder.
class GateInstall {
public:
    GateInstall(const QString& resourceFolder, const QString& homeFolder);

    const QString& installDir() const { return m_installDir; }
    QString daemonScript() const;
    bool daemonBundled() const;
    std::optional<QString> bundledNode() const;

private:
    QString scriptInBundle() const;

    QString m_resourceFolder; // empty when the program has none
    QString m_installDir;
};
