#include "app/update_step_table.h"

namespace flashwell::app {

std::optional<std::vector<const UpdateStep*>> ParseStepList(std::string_view text) {
    std::vector<const UpdateStep*> steps;
    if (text.empty() || text == "none") return steps;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string_view name =
            text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        const UpdateStep* step = FindUpdateStep(name);
        if (step == nullptr) return std::nullopt;
        steps.push_back(step);
        if (comma == std::string_view::npos) return steps;
        start = comma + 1;
    }
}

std::string StepNames() {
    std::string names;
    for (const UpdateStep& step : kUpdateSteps) {
        if (!names.empty()) names += ", ";
        names += step.name;
    }
    return names;
}

} // namespace flashwell::app
