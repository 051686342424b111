#include "support/FakeLoginItem.h"

std::expected<void, QString> FakeLoginItem::setRegistered(bool wanted) {
    ++requests;
    if (failure) {
        return std::unexpected(*failure);
    }
    registered = wanted;
    return {};
}
