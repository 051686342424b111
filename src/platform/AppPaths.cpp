#include "platform/AppPaths.h"

#include <QDir>
#include <QFileInfo>

namespace AppPaths {

QString homeFolder() {
    return QDir::homePath();
}

QString applicationSupportFolder(const QStringList& dataLocations, const QString& home) {
    return dataLocations.isEmpty() ? join(home, QStringLiteral(".local/share"))
                                   : dataLocations.constFirst();
}

QString stateFolder(const QString& xdgStateHome, const QString& home) {
    return QDir::isAbsolutePath(xdgStateHome) ? xdgStateHome
                                              : join(home, QStringLiteral(".local/state"));
}

QString resourceFolder(const QString& executableFolder) {
    const QString folder =
        QDir::cleanPath(executableFolder + QStringLiteral("/../share/kestrova-helper"));
    return QFileInfo(folder).isDir() ? folder : QString();
}

QString join(const QString& folder, const QString& component) {
    if (folder.endsWith(u'/')) {
        return folder + component;
    }
    return folder + u'/' + component;
}

} // namespace AppPaths
