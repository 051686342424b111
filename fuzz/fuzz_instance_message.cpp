#include "FuzzSupport.h"
#include "platform/InstanceMessages.h"

using FuzzSupport::require;
using InstanceMessages::Message;

namespace {
bool same(const QList<Message>& a, const QList<Message>& b) {
    return a.size() == b.size() &&
           std::equal(a.cbegin(), a.cend(), b.cbegin(), [](const Message& x, const Message& y) {
               return InstanceMessages::encode(x) == InstanceMessages::encode(y);
           });
}
} // namespace

// The bytes another program of the same user sends over the socket, in two pieces split where
// the first byte says: how they arrive must not change what is read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const QByteArray input = FuzzSupport::bytes(data + 1, size - 1);
    const qsizetype split = input.isEmpty() ? 0 : data[0] % (input.size() + 1);

    InstanceMessages::Reader whole;
    const QList<Message> messages = whole.feed(input);
    InstanceMessages::Reader pieces;
    QList<Message> piecewise = pieces.feed(input.first(split));
    piecewise += pieces.feed(input.sliced(split));

    require(whole.broken() == pieces.broken(), "the pieces break the connection alike");
    require(same(messages, piecewise), "the pieces give the same messages");
    require(messages.size() <= input.count('\n'), "a message is a whole line");
    for (const Message& message : messages) {
        QList<Message> again = InstanceMessages::Reader().feed(InstanceMessages::encode(message));
        require(again.size() == 1 && same(again, {message}), "a message read is sent back alike");
        if (const auto* open = std::get_if<InstanceMessages::OpenUrl>(&message)) {
            require(open->url.isValid() && !open->url.isEmpty(), "only valid URLs are passed on");
        }
    }
    if (whole.broken()) {
        require(whole.feed("show\n").isEmpty(), "nothing is read after a broken line");
    }
    return 0;
}
