#pragma once

#include "platform/LoginItemService.h"

// A login-item service that does as it is told.
class FakeLoginItem final : public LoginItemService {
public:
    std::expected<void, QString> setRegistered(bool registered) override;
    bool isEnabled() const override { return registered; }

    bool registered = false;
};
