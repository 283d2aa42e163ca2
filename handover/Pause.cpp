#include "handover/Pause.h"

#include <boost/chrono/system_clocks.hpp>
#include <boost/thread/thread.hpp>

// A deadline on the monotonic clock, so that a wakeup that comes early sleeps on, and a wall clock
// set back meanwhile (by hand, or by a time service) does not stretch it.
void Pause() {
    boost::this_thread::sleep_until(boost::chrono::steady_clock::now() +
                                    boost::chrono::milliseconds(250));
}
