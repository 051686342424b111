#include "gate/GateOutput.h"

#include "platform/PrivateFiles.h"

#include <QFile>
#include <QFileInfo>

namespace {
constexpr qint64 capBytes = qint64{1024} * 1024;
constexpr qint64 tailBytes = 4096;
constexpr qsizetype lineLimit = 160;
} // namespace

namespace GateOutput {

QString prepare(const QString& path) {
    const QFileInfo info(path);
    if (!PrivateFiles::makePrivateFolder(info.absolutePath()) ||
        (info.exists() && !info.isFile())) {
        return {};
    }
    QFile log(path);
    // The gate appends, so truncating in place keeps its writes going to the live file.
    if (info.size() > capBytes) {
        QFile::remove(path + QStringLiteral(".1"));
        log.copy(path + QStringLiteral(".1"));
        PrivateFiles::restrictToOwner(path + QStringLiteral(".1"));
        log.resize(0);
    }
    if (!log.open(QIODevice::Append, QFile::ReadOwner | QFile::WriteOwner)) {
        return {};
    }
    PrivateFiles::restrictToOwner(path);
    return path;
}

QString lastLine(const QString& path) {
    QFile log(path);
    if (!QFileInfo(path).isFile() || !log.open(QIODevice::ReadOnly)) {
        return {};
    }
    log.seek(std::max<qint64>(0, log.size() - tailBytes));
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        const QString text = QString::fromUtf8(*line).simplified();
        if (!text.isEmpty()) {
            return text.left(lineLimit);
        }
    }
    return {};
}

} // namespace GateOutput
