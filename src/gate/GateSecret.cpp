#include "gate/GateSecret.h"

#include "platform/AppPaths.h"
#include "platform/PrivateFiles.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <array>

namespace GateSecret {

QString path(const QString& supportDir) {
    return AppPaths::join(supportDir, QString::fromLatin1(fileName));
}

std::expected<QString, QString> ensure(const QString& supportDir) {
    const QString file = path(supportDir);
    if (QFileInfo::exists(file)) {
        return file;
    }
    if (!PrivateFiles::makePrivateFolder(supportDir)) {
        return std::unexpected(QStringLiteral("cannot make ") + supportDir);
    }
    std::array<quint32, 8> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray key =
        QByteArray(reinterpret_cast<const char*>(random.data()), sizeof random)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    if (const auto created = PrivateFiles::createOnce(file, key + '\n'); !created) {
        return std::unexpected(created.error());
    }
    return file;
}

} // namespace GateSecret
