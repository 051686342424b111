#pragma once

#include "platform/LoginItemService.h"

// A login-item service whose answers a test decides.
class FakeLoginItem final : public LoginItemService {
public:
    std::expected<void, QString> setRegistered(bool registered) override;
    bool isEnabled() const override { return registered && !heldForApproval; }

    bool registered = false;
    bool heldForApproval = false;   // the platform accepts but waits for the user
    std::optional<QString> failure; // every request fails with this reason
    int requests = 0;
};
