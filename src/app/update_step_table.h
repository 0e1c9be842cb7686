// The five update steps, in the order a run takes them. Everything that lists, ticks or runs
// steps (the run itself, the program's --steps, the faces, the fuzz harness, the tests) reads
// this table, so a new step is one row.
#pragma once

#include "app/board_update.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::app {

struct UpdateStep {
    std::string_view name;      // as --steps names it
    std::string_view title;     // as its title line in the log names it
    std::string_view box;       // its check box in the Advanced view
    void (BoardUpdate::*run)(); // the engine's step
    bool runsAfterFailure;      // whether it still runs once an earlier step failed
};

inline constexpr std::array<UpdateStep, 5> kUpdateSteps{{
    {"flash", "UpdateFlashData", "CheckBox6", &BoardUpdate::UpdateFlashData, true},
    {"rbf", "UpdateRBF", "CheckBox1", &BoardUpdate::UpdateRBF, true},
    {"kpci", "Update KPCI", "CheckBox2", &BoardUpdate::UpdateKPCI, false},
    {"boot", "Update Bootprogram", "CheckBox3", &BoardUpdate::UpdateBootprogram, false},
    {"firmware", "Update Firmware", "CheckBox4", &BoardUpdate::UpdateFirmware, false},
}};

// The row named so, or nullptr.
inline const UpdateStep* FindUpdateStep(std::string_view name) {
    for (const UpdateStep& step : kUpdateSteps)
        if (step.name == name) return &step;
    return nullptr;
}

// "flash,rbf,..." as given by --steps, all names known. Empty or "none": no step.
std::optional<std::vector<const UpdateStep*>> ParseStepList(std::string_view text);

// The names of every step, comma-separated, for help and error texts.
std::string StepNames();

} // namespace flashwell::app
