// A site's announces: what it says about itself in them (the format of site_announce.hpp),
// and saying it again while a command runs, so that the directories that list it and
// the paths to it stay fresh after a transport node restarts or a listener joins late.
#pragma once

#include "common/site_announce.hpp"
#include "support/ref.hpp"

#include <chrono>

namespace zv::announcing {

// Seconds between two announces of a long-running command unless told otherwise. An
// announce of a site is 167 to 239 bytes (bench/announce.py): on a 1200 bit/s radio over
// a second of air, which Reticulum's announce cap (2 % of an interface's bit rate by
// default) lets an interface send about once a minute for all destinations together.
// Half an hour leaves that room to the mesh's other destinations and still mends a lost
// path within it.
inline constexpr double kDefaultInterval = 1800;

inline constexpr const char* kIntervalHelp =
    "Seconds between announces, so that directories and paths stay fresh (default 1800: "
    "every 30 minutes keeps well under Reticulum's announce cap on slow radios; 0: only at "
    "start)";

// The application data of `site`'s announces, as bytes. A name longer than the format
// takes is cut, and one "Warning: ..." line on sys.stderr says so. Empty with an
// exception set.
Ref site_data(PyObject* module, const site_announce::Site& site);

// args.announce_interval (None: the default) into *seconds. 0, or -1 with SystemExit(2)
// and one line for a value that is not a finite number of seconds, 0 or above.
int interval_option(PyObject* module, PyObject* args, double* seconds);

// Whether `seconds` is an interval: finite, 0 or above.
bool valid_interval(double seconds);

// Announces a destination again every `interval` seconds (0: never) while its command
// runs; ticked by the command's wait, about once a second, on the loop's thread.
class Repeater {
public:
    Repeater() = default;
    Repeater(Ref destination, double interval);

    // Announces when the interval has passed since the last announce. An announce that
    // fails costs one "Warning: ..." line; the next is tried an interval later.
    void tick(PyObject* module);

private:
    using Clock = std::chrono::steady_clock;
    Ref destination_;
    Clock::duration interval_{};
    Clock::time_point due_{};
};

}  // namespace zv::announcing
