#include "gate/GateOutput.h"

#include "platform/PrivateFiles.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {
constexpr char launchPrefix[] = "kestrova-helper: gate launched";
constexpr qint64 tailBytes = 4096;
constexpr qsizetype lineLimit = 160;
} // namespace

namespace GateOutput {

QString launchLine() {
    return QString::fromLatin1(launchPrefix) + u' ' +
           QDateTime::currentDateTime().toString(Qt::ISODate);
}

std::expected<void, QString> prepare(const QString& path) {
    const QFileInfo info(path);
    if (!PrivateFiles::makePrivateFolder(info.absolutePath())) {
        return std::unexpected(QStringLiteral("its folder cannot be made: ") + info.absolutePath());
    }
    if (info.isSymLink()) {
        return std::unexpected(QStringLiteral("a link is in its place: ") + path);
    }
    if (info.exists() && !info.isFile()) {
        return std::unexpected((info.isDir() ? QStringLiteral("a folder")
                                             : QStringLiteral("something else than a file")) +
                               QStringLiteral(" is in its place: ") + path);
    }
    return {};
}

QString lastLine(const QString& path) {
    QFile log(path);
    if (!QFileInfo(path).isFile() || !log.open(QIODevice::ReadOnly)) {
        return {};
    }
    log.seek(std::max<qint64>(0, log.size() - tailBytes));
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith(launchPrefix)) {
            return {}; // what comes before belongs to an earlier launch
        }
        const QString text = QString::fromUtf8(*line).simplified();
        if (!text.isEmpty()) {
            return text.left(lineLimit);
        }
    }
    return {};
}

} // namespace GateOutput
