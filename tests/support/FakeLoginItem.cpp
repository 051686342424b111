#include "support/FakeLoginItem.h"

std::expected<void, QString> FakeLoginItem::setRegistered(bool wanted) {
    registered = wanted;
    return {};
}
