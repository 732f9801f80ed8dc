#pragma once

namespace relay {

// What relayd keeps of what happened (history/): on unless turned off, kept
// for days and within a size, whichever is reached first.
struct HistoryOptions {
    bool on = true;
    int keep_days = 400;  // a year and the month before it, for comparisons
    int max_mb = 256;     // a year of 16 boards switching every minute fits
};

}  // namespace relay
