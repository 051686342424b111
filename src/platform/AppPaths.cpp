#include "platform/AppPaths.h"

#include "platform/UserDirs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace AppPaths {

QString homeFolder() {
    return QDir::homePath();
}

QString dataHome() {
    return QFile::decodeName(QByteArray::fromStdString(UserDirs::dataHome().value_or("")));
}

QString stateHome() {
    return QFile::decodeName(QByteArray::fromStdString(UserDirs::stateHome().value_or("")));
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
