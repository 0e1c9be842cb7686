// A simulated machine on virtual time: its clock moves only when the program waits, so that
// nothing waits for real and every run takes the same course.
#pragma once

#include "sim/sim_world.h"

namespace flashwell::testing {

inline sim::WorldOptions VirtualTime() {
    sim::WorldOptions options;
    options.clock.speedFactor = 0;
    return options;
}

} // namespace flashwell::testing
