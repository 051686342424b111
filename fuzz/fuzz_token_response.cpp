#include "FuzzSupport.h"
#include "account/GoogleOAuth.h"
#include "account/UserText.h"

using FuzzSupport::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto answer = FuzzSupport::statusAndBody(data, size);
    if (!answer) {
        return 0;
    }
    const bool success = answer->status >= 200 && answer->status <= 299;

    const auto token = GoogleOAuth::idToken({answer->status, answer->body});
    if (token) {
        require(success, "a token only comes from a 2xx answer");
        return 0;
    }
    const GoogleAuthError& error = token.error();
    const QString description = error.errorDescription();
    if (success) {
        require(error.kind() == GoogleAuthError::Kind::NoIdToken, "a 2xx answer lacks the token");
        require(!description.isEmpty(), "every error has a description");
        return 0;
    }
    require(error.kind() == GoogleAuthError::Kind::TokenExchangeFailed, "a non-2xx answer fails");
    require(error.body() == UserText::fromUtf8OrEmpty(answer->body), "the error keeps the body");
    const QString prefix = QStringLiteral("Google token exchange failed: ");
    require(description.startsWith(prefix), "the description says what failed");
    const QString quoted = description.mid(prefix.size());
    require(error.body().simplified().left(quoted.size()) == quoted,
            "the description quotes the start of the body, on one line");
    require(!quoted.contains(u'\n') && !quoted.contains(u'\r'), "the description is one line");
    return 0;
}
