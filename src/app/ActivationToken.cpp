#include "app/ActivationToken.h"

#include "app/AppLog.h"

#include <list>
#include <unistd.h>
#include <vector>

namespace ActivationToken {

namespace {

constexpr QByteArrayView kName = "XDG_ACTIVATION_TOKEN=";

struct Lent {
    QByteArray entry;
    std::vector<char*> variables;
};

} // namespace

// Qt 6.4 has no setter for the token: its Wayland plugin reads XDG_ACTIVATION_TOKEN when a
// window asks to be activated, and unsets it once used. setenv would grow the environment's
// array, which glibc reallocates and frees, while another thread (the bus's, the network's, a
// lookup's) may be walking it in getenv. So nothing is written that another thread may read:
// `environ` is pointed, for this one call, at a copy of the array with the token last, and
// pointed back after. A getenv elsewhere sees the one array or the other, both whole; the
// plugin's unsetenv only clears the copy's last slot. Copies are never freed: a thread may
// still be walking one, and a start hands over a token rarely.
void lend(const QByteArray& token, const std::function<void()>& use) {
    static std::list<Lent> lent; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
    Lent& copy = lent.emplace_back();
    copy.entry = kName.toByteArray() + token;
    char** const original = environ;
    for (char** variable = original; *variable != nullptr; ++variable) {
        // An older token, unused, would be found first.
        if (!QByteArrayView(*variable).startsWith(kName)) {
            copy.variables.push_back(*variable);
        }
    }
    copy.variables.push_back(copy.entry.data());
    copy.variables.push_back(nullptr);
    environ = copy.variables.data();
    use();
    // A setenv during `use` would have moved the environment to a new array of glibc's own,
    // which then stays.
    if (environ == copy.variables.data()) {
        environ = original;
    } else {
        qCWarning(lcApp) << "The environment changed while a window was being activated";
    }
}

} // namespace ActivationToken
