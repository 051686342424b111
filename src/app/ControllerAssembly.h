#pragma once

#include "gate/GateEnvironment.h"

#include <memory>

class SignInSheet;

// Where the controller's environment is put together: the parts from the layers above the
// controller's, and the real platform's values.
namespace ControllerAssembly {

// The account session and the agent registry, made when the controller is.
void plugInParts(GateEnvironment& environment);

// The real world: the user's folders and settings, the build's endpoints, the desktop's URL
// opener. The sign-in sheet is the platform's own: the program's shell makes it.
GateEnvironment production(std::shared_ptr<SignInSheet> signInSheet,
                           std::shared_ptr<QNetworkAccessManager> network);

} // namespace ControllerAssembly
