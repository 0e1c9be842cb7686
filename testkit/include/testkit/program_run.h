// Runs the flashwell binary as a user would, through the shell, in a folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace flashwell::testing {

struct ProgramOutcome {
    int status = -1;
    std::string output; // what the command printed (the caller joins stderr in as it needs)
};

// Runs one shell command and collects its output and exit status.
inline ProgramOutcome RunCommand(const std::string& command) {
    ProgramOutcome outcome;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    std::array<char, 4096> chunk{};
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
        outcome.output.append(chunk.data(), n);
    const int raw = ::pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

// A fixture with a folder per test, named after the test and the process, removed afterwards.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("flashwell-program-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

} // namespace flashwell::testing
