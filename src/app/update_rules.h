// The decisions the update takes from a board's parameter block and SubID, apart from the
// steps that carry them out, so that what an update would do can be told without writing.
#pragma once

#include "boarddata/flash_data.h"

#include <cstdint>
#include <string>
#include <vector>

namespace flashwell::app {

// The flash-access program's request for the board's SubID.
inline constexpr std::uint32_t kSubIdQuery = 127;

struct RulesOutcome {
    bool changed = false;
    std::vector<std::string> lines; // the step's log lines for the rules that applied
};

// A correction for individual boards that left the factory with a wrong parameter block: the
// serial numbers it is for (compared whole), whether it marks the block for writing (the others
// take effect only when a later rule does), and what it changes.
struct BoardRule {
    std::vector<std::string> serials;
    bool marksChanged;
    void (*apply)(boarddata::FlashDataRecord& record);
    const char* what; // for the reader and for lists: what the rule corrects

    bool Matches(const std::string& serial) const {
        for (const std::string& s : serials)
            if (s == serial) return true;
        return false;
    }
};

// In the order the step applies them.
extern const std::vector<BoardRule> kBoardRules;

void SetRevision(boarddata::FlashDataRecord& record, std::uint8_t major, std::uint8_t minor);

// The parameter block step's corrections and counter-mode rules, applied to the record.
RulesOutcome ApplyParameterBlockRules(boarddata::FlashDataRecord& record, std::int32_t subId);

// Which FPGA configuration the FPGA step writes; AskUser: the SubID dialog decides.
enum class RbfChoice { Rev11, Rev12, Rev13, AskUser };
RbfChoice ChooseRbf(const boarddata::FlashDataRecord& record, std::int32_t subId);

} // namespace flashwell::app
