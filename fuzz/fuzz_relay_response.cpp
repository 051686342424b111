#include "FuzzSupport.h"
#include "account/RelayMessages.h"
#include "account/UserText.h"

using FuzzSupport::require;

namespace {
void checkError(const RelayError& error, const FuzzSupport::Answer& answer) {
    require(error.kind() == RelayError::Kind::BadStatus, "a relay error is a bad status");
    require(error.status() == answer.status, "the error keeps the status");
    require(error.body() == UserText::fromUtf8OrEmpty(answer.body), "the error keeps the body");
    const QString prefix = QStringLiteral("Relay sign-in failed (%1): ").arg(answer.status);
    const QString description = error.errorDescription();
    require(description.startsWith(prefix), "the description names the status");
    const QString quoted = description.mid(prefix.size());
    require(error.body().simplified().left(quoted.size()) == quoted,
            "the description quotes the start of the body, on one line");
    require(!quoted.contains(u'\n') && !quoted.contains(u'\r'), "the description is one line");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto answer = FuzzSupport::statusAndBody(data, size);
    if (!answer) {
        return 0;
    }
    const HttpExchange::Answer http{answer->status, answer->body};
    const bool success = answer->status >= 200 && answer->status <= 299;

    const auto auth = RelayMessages::relayAuth(http);
    require(auth.has_value() == success, "only a 2xx answer is read");
    if (auth) {
        require(!auth->personalRoom || !auth->personalRoom->isEmpty(), "an empty room is none");
    } else {
        checkError(auth.error(), *answer);
    }

    const auto agent = RelayMessages::ownedAgent(http);
    require(agent.has_value() == success, "only a 2xx answer is read");
    if (!agent) {
        checkError(agent.error(), *answer);
    }
    return 0;
}
