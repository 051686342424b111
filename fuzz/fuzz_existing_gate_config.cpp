#include "FuzzSupport.h"
#include "gate/GateConfig.h"

using FuzzSupport::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = FuzzSupport::bytes(data, size);
    if (const auto key = GateConfig::pollerApiKey(input)) {
        require(!key->isEmpty(), "an api key is never empty");
    }

    // What the helper writes, it reads back: the input as the key of a config it builds.
    const auto text = FuzzSupport::validUtf8(input);
    if (text && !text->isEmpty()) {
        const QByteArray config = GateConfig::build(
            QStringLiteral("/home/u/.local/share/Kestrova Helper"), *text, std::nullopt,
            {.port = 8789,
             .secretPath = QStringLiteral("/home/u/.local/share/Kestrova Helper/gate-secret"),
             .hookWaitSeconds = GateConfig::defaultHookWaitSeconds});
        require(GateConfig::pollerApiKey(config) == *text, "a built config gives its key back");
    }
    return 0;
}
