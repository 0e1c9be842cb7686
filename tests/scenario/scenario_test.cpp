// Scenario files as users meet them: every shipped one loads and runs, and a broken one is
// explained in plain words that name the file and the field.
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace flashwell;

TEST(Scenarios, EveryShippedScenarioLoadsAndApplies) {
    int loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FLASHWELL_SCENARIO_DIR)) {
        if (entry.path().extension() != ".json") continue;
        const sim::ScenarioResult result = sim::LoadScenarioFile(entry.path().string());
        ASSERT_TRUE(result.scenario) << result.error;
        sim::SimWorld world;
        sim::ApplyScenario(world, *result.scenario);
        EXPECT_EQ(world.BoardCount(), result.scenario->boards.size()) << entry.path();
        ++loaded;
    }
    EXPECT_GE(loaded, 4);
}

TEST(Scenarios, ErrorsNameFileAndFieldWithoutLibraryInternals) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"boards\": [}", "x.json: (document): not valid JSON: parse error at line 1, column 13"},
        {"{\"boards\": [ {\"subId\": \"three\"} ]}", "x.json: boards[0].subId"},
        {"{\"boards\": [], \"colour\": 1}", "x.json: "},
        {"{\"name\": \"" + std::string(201, 'n') + "\", \"boards\": []}", "x.json: name"},
        {"{\"boards\": [ 1e999 ]}", "x.json: (document): not valid JSON: number overflow"},
    };
    for (const auto& [text, starts] : cases) {
        const sim::ScenarioResult result = sim::ParseScenario(text, "x.json");
        EXPECT_FALSE(result.scenario) << text;
        EXPECT_EQ(result.error.rfind(starts, 0), 0u) << result.error;
        EXPECT_EQ(result.error.find("json.exception"), std::string::npos) << result.error;
    }
    const std::string longest = "{\"name\": \"" + std::string(200, 'n') + "\", \"boards\": []}";
    EXPECT_TRUE(sim::ParseScenario(longest, "x.json").scenario);
}

} // namespace
