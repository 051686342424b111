#include "FuzzSupport.h"
#include "account/GoogleOAuth.h"

#include <QUrlQuery>

using FuzzSupport::require;

namespace {
void checkCallback(const QUrl& callback) {
    const auto code = GoogleOAuth::authorizationCode(callback);
    if (!code) {
        require(code.error().kind() == GoogleAuthError::Kind::BadCallback,
                "a callback without a code is a bad callback");
        require(!code.error().errorDescription().isEmpty(), "every error has a description");
        return;
    }
    require(!code->isEmpty(), "a code is never empty");
    require(QUrlQuery(callback).hasQueryItem(QStringLiteral("code")),
            "the code comes from the query");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = FuzzSupport::bytes(data, size);
    // The pasted link (text) and the link handed over by the second start (bytes).
    checkCallback(QUrl(QString::fromUtf8(input)));
    checkCallback(QUrl::fromEncoded(input));
    return 0;
}
