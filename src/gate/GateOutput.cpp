#include "gate/GateOutput.h"

#include "platform/PrivateFiles.h"
#include "platform/RegularFile.h"

#include <QDateTime>
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
    const QList<QByteArray> lines =
        RegularFile::readTail(path, tailBytes).value_or(QByteArray()).split('\n');
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
