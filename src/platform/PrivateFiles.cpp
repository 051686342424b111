#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace PrivateFiles {

namespace {
constexpr QFileDevice::Permissions ownerReadWrite = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFileDevice::Permissions ownerOnlyFolder =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
} // namespace

bool makePrivateFolder(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        return QFile::setPermissions(path, ownerOnlyFolder);
    }
    const QDir parent = info.dir();
    if (!parent.exists() && !QDir().mkpath(parent.absolutePath())) {
        return false;
    }
    return QDir().mkdir(path, ownerOnlyFolder);
}

std::expected<void, QString> writePrivateFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    if (QFileInfo(path).isFile()) {
        file.setPermissions(ownerReadWrite);
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate, ownerReadWrite)) {
        return std::unexpected(file.errorString());
    }
    if (file.write(contents) != contents.size() || !file.flush()) {
        return std::unexpected(file.errorString());
    }
    return {};
}

void restrictToOwner(const QString& filePath) {
    if (QFileInfo(filePath).isFile()) {
        QFile::setPermissions(filePath, ownerReadWrite);
    }
}

} // namespace PrivateFiles
