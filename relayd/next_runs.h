#pragma once

#include "relayd/bridge_options.h"

namespace relay {

// relayd --next-runs N: each entry of the config and the page with its next N
// runs, as the schedule would carry them out, and whether the clock would let
// it. Nothing is opened. Returns the exit status.
int print_next_runs(const BridgeOptions& options);

}  // namespace relay
