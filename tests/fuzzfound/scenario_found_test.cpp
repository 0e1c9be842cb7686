// Scenario texts the fuzzer found.
#include "sim/scenario/scenario.h"

#include <gtest/gtest.h>

using namespace flashwell;

// A number no JSON number type can hold used to escape ParseScenario as an exception and end
// the program instead of being reported as a defect of the file.
TEST(ScenarioFound, NumberTooLargeForAnyTypeIsAFileDefect) {
    const std::string text =
        R"({"boards": [ 6666666666666666666666666666666666666001313430214e66666662 ]})";
    sim::ScenarioResult result;
    ASSERT_NO_THROW(result = sim::ParseScenario(text, "big.json"));
    EXPECT_FALSE(result.scenario.has_value());
    EXPECT_EQ(result.error.rfind("big.json: (document): not valid JSON: ", 0), 0u) << result.error;
}
