// The command line turned into its value: what each option becomes, and which combinations
// are refused before any machine is made.
#include "cli/invocation.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace flashwell::cli;

ParsedCommandLine Parse(const std::string& line) {
    std::vector<std::string> words{"flashwell"};
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, OptionsBecomeOneValue) {
    const ParsedCommandLine p =
        Parse("--simulate --time x20 --update --yes --revision 1.3 --steps flash,boot --board 2 "
              "--data-dir /tmp/fw --json");
    ASSERT_TRUE(p.invocation);
    const Invocation& v = *p.invocation;
    EXPECT_EQ(v.route, Route::Simulation);
    EXPECT_DOUBLE_EQ(v.clock.speedFactor, 20.0);
    EXPECT_TRUE(v.update && v.yes && v.json);
    EXPECT_EQ(v.revision, 2);
    ASSERT_EQ(v.steps.size(), 2u);
    EXPECT_EQ(v.steps[0]->name, "flash");
    EXPECT_EQ(v.steps[1]->name, "boot");
    EXPECT_EQ(v.board, 2);
    EXPECT_EQ(v.logFile, std::filesystem::path("/tmp/fw") / "flashwell.log");
    EXPECT_EQ(v.scenario.name, flashwell::sim::DefaultScenario().name);
    // The last --time counts, so that a script's own pace can be overridden.
    EXPECT_DOUBLE_EQ(Parse("--time x2 --time virtual").invocation->clock.speedFactor, 0.0);
    EXPECT_TRUE(Parse("--steps none").invocation->steps.empty());
    EXPECT_TRUE(Parse("--steps none").invocation->stepsGiven);
}

TEST(CommandLine, MistakesAreUsageErrors) {
    for (const char* line :
         {"--time fast", "--time xinf", "--time x0", "--revision 1.4", "--board 4",
          "--steps flash,fpga", "--json", "--list --update", "--restore /no/such/file",
          "--report /no/such/folder/r.json", "--record a --replay b", "--no-such-option",
          "--simulate /no/such/scenario.json", "--board 0 --board 1", "--all --restore x",
          "--all --update --record s"}) {
        SCOPED_TRACE(line);
        const ParsedCommandLine p = Parse(line);
        EXPECT_FALSE(p.invocation);
        EXPECT_EQ(p.exitStatus, kExitUsage);
    }
    // One line number is the board line as ever; anything else names a bench.
    const ParsedCommandLine bench = Parse("--board 2004-K7A-1024-5-0400 --board 2 --update");
    ASSERT_TRUE(bench.invocation);
    EXPECT_FALSE(bench.invocation->board);
    EXPECT_EQ(bench.invocation->boardNames,
              (std::vector<std::string>{"2004-K7A-1024-5-0400", "2"}));
    // Listing the copies needs nothing else: options that would be refused with a scan are not.
    const ParsedCommandLine list = Parse("--list-backups --json");
    ASSERT_TRUE(list.invocation);
    EXPECT_TRUE(list.invocation->listBackups);
}

} // namespace
