// Scenario files on arbitrary text: parsing never fails other than with a message, and whatever
// it accepts can be plugged into a fresh machine.
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "testkit/virtual_time.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace flashwell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const sim::ScenarioResult result = sim::ParseScenario(text, "fuzz.json");
    if (result.scenario.has_value() == !result.error.empty()) {
        std::fprintf(stderr, "a scenario result must hold either a scenario or a message\n");
        std::abort();
    }
    if (!result.scenario) return 0;

    sim::SimWorld world(testing::VirtualTime());
    world.Recorder().SetEnabled(false);
    sim::ApplyScenario(world, *result.scenario);
    if (world.BoardCount() != result.scenario->boards.size()) {
        std::fprintf(stderr, "ApplyScenario did not plug in every board\n");
        std::abort();
    }
    return 0;
}
