#include "FuzzSupport.h"
#include "account/GoogleOAuth.h"

#include <QUrlQuery>

using FuzzSupport::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = FuzzSupport::bytes(data, size);
    const QString encoded = GoogleOAuth::formEncode(QString::fromUtf8(input));

    // Only text survives a round trip; invalid bytes were already replaced on the way in.
    const auto text = FuzzSupport::validUtf8(input);
    if (!text) {
        return 0;
    }
    require(QUrl::fromPercentEncoding(encoded.toUtf8()) == *text, "formEncode round-trips");

    const QUrl url = GoogleOAuth::authorizationUrl(
        QUrl(QStringLiteral("https://accounts.example.com/o/oauth2/v2/auth")),
        QStringLiteral("1-abc.apps.example.com"), *text, *text);
    for (const QString& item : {QStringLiteral("code_challenge"), QStringLiteral("state")}) {
        require(QUrlQuery(url).queryItemValue(item, QUrl::FullyDecoded) == *text,
                "the challenge and the state round-trip through the authorization URL");
    }
    return 0;
}
