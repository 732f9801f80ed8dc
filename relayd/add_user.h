#pragma once

#include "relayd/bridge_options.h"

namespace relay {

// relayd --add-user NAME --http-users FILE: asks for the password (without
// echo on a terminal, else one line of standard input) and writes the user.
// Returns the exit status.
int add_web_user(const BridgeOptions& options);

}  // namespace relay
