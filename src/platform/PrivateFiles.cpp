#include "platform/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
    // Made beside it (QTemporaryFile makes it 0600) and renamed over it: a reader sees the old
    // file or the new one, never half of one, and a link in its place is replaced, not followed.
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        return std::unexpected(file.errorString());
    }
    if (file.write(contents) != contents.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        return std::unexpected(file.errorString());
    }
    if (::rename(QFile::encodeName(file.fileName()).constData(),
                 QFile::encodeName(path).constData()) != 0) {
        return std::unexpected(qt_error_string(errno));
    }
    file.setAutoRemove(false);
    return {};
}

void restrictToOwner(const QString& filePath) {
    if (QFileInfo(filePath).isFile()) {
        QFile::setPermissions(filePath, ownerReadWrite);
    }
}

std::expected<void, QString> createOnce(const QString& path, const QByteArray& contents) {
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + ".XXXXXX";
    // mkostemp makes the file with mode 0600.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return std::unexpected(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const bool written =
        ::write(fd, contents.constData(), size_t(contents.size())) == contents.size() &&
        ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    const int linked = written ? ::link(temporary.constData(), target.constData()) : -1;
    const int linkError = written ? errno : writeError;
    ::unlink(temporary.constData());
    if (linked != 0 && linkError != EEXIST) {
        return std::unexpected(QString::fromLocal8Bit(std::strerror(linkError)));
    }
    return {};
}

} // namespace PrivateFiles
