#pragma once

#include <QString>

#include <variant>

// The one-line message of an error: each error type says it in its own errorDescription().
template <typename... Errors> QString errorText(const std::variant<Errors...>& error) {
    return std::visit([](const auto& alternative) { return alternative.errorDescription(); },
                      error);
}
