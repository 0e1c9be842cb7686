// The five update steps, in the order a run takes them. Everything that lists, ticks or runs
// steps (the run itself, the program's --steps, the faces, the fuzz harness, the tests) reads
// this table, so a new step is one row.
#pragma once

#include "app/main_form.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace flashwell::app {

struct UpdateStep {
    std::string_view name;  // as --steps names it
    std::string_view title; // as its title line in the log names it
    Control TForm1::*box;   // its check box in the Advanced view
    void (TForm1::*run)();  // its handler
    bool runsAfterFailure;  // whether it still runs once an earlier step failed
};

inline constexpr std::array<UpdateStep, 5> kUpdateSteps{{
    {"flash", "UpdateFlashData", &TForm1::CheckBox6, &TForm1::UpdateFlashData, true},
    {"rbf", "UpdateRBF", &TForm1::CheckBox1, &TForm1::UpdateRBF, true},
    {"kpci", "Update KPCI", &TForm1::CheckBox2, &TForm1::UpdateKPCI, false},
    {"boot", "Update Bootprogram", &TForm1::CheckBox3, &TForm1::UpdateBootprogram, false},
    {"firmware", "Update Firmware", &TForm1::CheckBox4, &TForm1::UpdateFirmware, false},
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
