#include "gate/GateInstall.h"

#include "gate/NodeRuntime.h"
#include "platform/AppPaths.h"

#include <QFileInfo>

GateInstall::GateInstall(const QString& resourceFolder, const QString& homeFolder)
    : m_resourceFolder(resourceFolder)
    , m_installDir(AppPaths::join(homeFolder, QStringLiteral("bramblekit"))) {
}

QString GateInstall::scriptInBundle() const {
    if (m_resourceFolder.isEmpty()) {
        return {};
    }
    return AppPaths::join(m_resourceFolder, QStringLiteral("Daemon/bin/bk-mcp-daemon.mjs"));
}

bool GateInstall::daemonBundled() const {
    const QString bundled = scriptInBundle();
    return !bundled.isEmpty() && QFileInfo(bundled).isFile();
}

QString GateInstall::daemonScript() const {
    return daemonBundled() ? scriptInBundle()
                           : AppPaths::join(m_installDir, QStringLiteral("bin/bk-mcp-daemon.mjs"));
}

std::optional<QString> GateInstall::bundledNode() const {
    return NodeRuntime::bundledNode(m_resourceFolder);
}
