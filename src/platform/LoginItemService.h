#pragma once

#include <QString>

#include <expected>

// Starts the program when the user logs in. Each platform has its own mechanism.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;

    // Registers (true) or unregisters (false); the error is a one-line reason.
    virtual std::expected<void, QString> setRegistered(bool registered) = 0;
    virtual bool isEnabled() const = 0;
};
