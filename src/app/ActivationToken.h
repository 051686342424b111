#pragma once

#include <QByteArray>

#include <functional>

namespace ActivationToken {

// Runs `use` on the GUI thread with XDG_ACTIVATION_TOKEN set to `token` for the toolkit to
// read, without changing the process's environment: see the definition for why that is safe
// while other threads run.
void lend(const QByteArray& token, const std::function<void()>& use);

} // namespace ActivationToken
