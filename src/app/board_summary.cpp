#include "app/board_summary.h"

#include "app/update_rules.h"
#include "app/update_step_table.h"
#include "boarddata/images/images.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>

namespace flashwell::app {

namespace {

// Parts joined by points ("1.2", "12.05.2005"); appended, as gcc 12 misreads chains of +.
std::string Joined(std::initializer_list<std::string> parts) {
    std::string text;
    bool first = true;
    for (const std::string& part : parts) {
        if (!first) text += '.';
        text += part;
        first = false;
    }
    return text;
}

std::string Version3(std::uint32_t packed) {
    // major.minor.build in the three low bytes, as the driver and firmware report them.
    return Joined({std::to_string((packed >> 16) & 0xFF), std::to_string((packed >> 8) & 0xFF),
                   std::to_string(packed & 0xFF)});
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string RbfName(RbfChoice choice) {
    switch (choice) {
    case RbfChoice::Rev11:
        return images::RbfFileNameRev11;
    case RbfChoice::Rev12:
        return images::RbfFileNameRev12;
    case RbfChoice::Rev13:
        return images::RbfFileNameRev13;
    case RbfChoice::AskUser:
        break;
    }
    return {};
}

std::vector<std::string> Plan(const TForm1& form, const boarddata::FlashDataRecord& record,
                              std::int32_t subId) {
    std::vector<std::string> plan;
    for (const UpdateStep& step : kUpdateSteps) {
        if (!form.StepBox(step).checked) continue;
        if (step.name == "flash") {
            boarddata::FlashDataRecord changed = record;
            const RulesOutcome rules = ApplyParameterBlockRules(changed, subId);
            std::string text = rules.changed
                                   ? "flash: rewrites the parameter block (a copy is saved first)"
                                   : "flash: leaves the parameter block as it is";
            if (rules.changed && !rules.lines.empty()) text += ':';
            for (const std::string& line : rules.lines) {
                if (!rules.changed) break;
                text += ' ';
                text.append(line, 3); // without the log's indent
            }
            plan.push_back(std::move(text));
        } else if (step.name == "rbf") {
            const RbfChoice choice = ChooseRbf(record, subId);
            plan.push_back(choice == RbfChoice::AskUser
                               ? "rbf: asks for the hardware revision (unknown SubID), then "
                                 "writes its FPGA configuration"
                               : "rbf: writes the FPGA configuration " + RbfName(choice));
        } else if (step.name == "kpci") {
            plan.push_back("kpci: writes the KPCI data into the second flash bank");
        } else if (step.name == "boot") {
            plan.push_back("boot: writes the DSP boot program");
        } else if (step.name == "firmware") {
            plan.push_back("firmware: writes the USB controller's firmware into its EEPROM");
        } else {
            plan.push_back(std::string(step.name) + ": runs");
        }
    }
    return plan;
}

} // namespace

std::vector<BoardSummary> SummarizeBoards(TForm1& form, device::BoardTable& boards,
                                          protocol::BoardProtocol& protocol) {
    std::vector<BoardSummary> out;
    for (int i = 0; i < 4; ++i) {
        BoardSummary s;
        s.index = i;
        // What the scan found is the engine's; only the SubID is asked here.
        const BoardFacts& facts = form.Facts(i);
        s.present = facts.present;
        const Control& line = *form.RadioButtons[static_cast<std::size_t>(i)];
        s.selectable = facts.present && facts.accepted;
        s.line = line.caption;
        s.blockLost = facts.blockLost;
        s.repairsFirmwareFirst = facts.repairsFirmwareFirst;
        if (facts.copyToRestore) s.copyToRestore = facts.copyToRestore->string();
        s.lostWhy = facts.lostWhy;
        s.notSelectableBecause = facts.refusal;
        if (s.present) s.place = facts.devicePath;
        if (s.present && boards.OpenBoard(i) == 1) {
            const boarddata::FlashDataRecord record =
                facts.record.value_or(boarddata::FlashDataRecord{});
            s.blockReadable = facts.blockRead && facts.record && !s.blockLost;
            const std::int32_t subId = protocol.DspRequest(i, 1, kSubIdQuery, 0);
            s.subIdKnown = static_cast<std::uint32_t>(subId) != protocol::FailureWord;
            s.subId = subId;
            if (s.blockReadable) {
                s.product = record.ProductName;
                s.customer = record.Customer;
                s.serial = record.SerialNumber;
                s.hardwareRevision = Joined({std::to_string(record.HardwareRevision()[1]),
                                             std::to_string(record.HardwareRevision()[0])});
                s.date =
                    Joined({record.BoardDate.Day, record.BoardDate.Month, record.BoardDate.Year});
                s.counter32 = (record.FeatureFlags[2] & boarddata::kCounter32ModeMask) != 0;
                if (s.selectable && s.subIdKnown) s.plan = Plan(form, record, subId);
            }
            if (const device::TUSBAdapter* a = boards.Adapter(i)) {
                s.firmwareVersion = Version3(a->FirmwareVersion);
                s.driverVersion = Version3(a->DriverVersion);
                s.interfaceVersion = Hex(a->InterfaceVersion);
                s.highSpeed = a->HighSpeed;
            }
            boards.CloseBoard(i);
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::string SummaryText(const std::vector<BoardSummary>& boards) {
    std::ostringstream out;
    for (const BoardSummary& b : boards) {
        if (b.index >= 0)
            out << "Board " << b.index << ": ";
        else
            out << "Board at " << b.place << " (beyond the four lines): ";
        if (!b.present) {
            out << "not present\n";
            continue;
        }
        out << b.line << (b.selectable ? "" : "  [not selectable for an update]") << "\n";
        if (!b.notSelectableBecause.empty() && !b.blockLost)
            out << "  not updated      " << b.notSelectableBecause << "\n";
        if (b.repairsFirmwareFirst) {
            out << "  USB controller   runs no firmware: an update writes the firmware first, "
                   "then identifies the board again and updates the rest\n";
        } else if (b.blockLost) {
            out << "  parameter block: not whole (" << b.lostWhy
                << ") - nothing is written over it; ";
            if (b.copyToRestore.empty())
                out << "no copy of it is on this computer: restore the copy the computer that "
                       "wrote it keeps\n";
            else
                out << "restore its copy:\n"
                    << "    flashwell --restore \"" << b.copyToRestore << "\" --board " << b.index
                    << "\n";
        } else if (!b.blockReadable) {
            out << "  parameter block: not readable (see --list-backups and --restore)\n";
        } else {
            out << "  product          " << b.product << "\n"
                << "  customer         " << (b.customer.empty() ? "-" : b.customer) << "\n"
                << "  serial number    " << b.serial << "\n"
                << "  hardware         revision " << b.hardwareRevision << ", dated " << b.date
                << "\n"
                << "  counter mode     " << (b.counter32 ? "32 bit" : "not 32 bit") << "\n";
        }
        out << "  SubID            " << (b.subIdKnown ? std::to_string(b.subId) : "unknown") << "\n"
            << "  firmware         " << b.firmwareVersion << ", driver " << b.driverVersion
            << ", interface " << b.interfaceVersion << ", "
            << (b.highSpeed ? "high speed" : "full speed") << "\n";
        if (!b.place.empty())
            out << "  place            " << b.place
                << (b.route.empty() ? "" : ", reached through " + b.route) << "\n";
        if (!b.plan.empty()) {
            out << "  an update would:\n";
            for (const std::string& step : b.plan)
                out << "    " << step << "\n";
        }
    }
    return out.str();
}

std::string SummaryJson(const std::vector<BoardSummary>& boards) {
    nlohmann::json list = nlohmann::json::array();
    for (const BoardSummary& b : boards) {
        nlohmann::json j{
            {"index", b.index >= 0 ? nlohmann::json(b.index) : nlohmann::json(nullptr)},
            {"present", b.present}};
        if (b.present) {
            j["line"] = b.line;
            j["selectable"] = b.selectable;
            j["parameterBlockReadable"] = b.blockReadable;
            j["parameterBlockLost"] = b.blockLost;
            j["restoreFrom"] =
                b.copyToRestore.empty() ? nlohmann::json(nullptr) : nlohmann::json(b.copyToRestore);
            j["repairsFirmwareFirst"] = b.repairsFirmwareFirst;
            j["notSelectableBecause"] = b.notSelectableBecause.empty()
                                            ? nlohmann::json(nullptr)
                                            : nlohmann::json(b.notSelectableBecause);
            if (b.blockLost) j["parameterBlockLostBecause"] = b.lostWhy;
            if (b.blockReadable) {
                j["product"] = b.product;
                j["customer"] = b.customer;
                j["serialNumber"] = b.serial;
                j["hardwareRevision"] = b.hardwareRevision;
                j["date"] = b.date;
                j["counter32"] = b.counter32;
            }
            j["subId"] = b.subIdKnown ? nlohmann::json(b.subId) : nlohmann::json(nullptr);
            j["firmwareVersion"] = b.firmwareVersion;
            j["driverVersion"] = b.driverVersion;
            j["interfaceVersion"] = b.interfaceVersion;
            j["highSpeed"] = b.highSpeed;
            j["plan"] = b.plan;
            j["place"] = b.place;
            if (!b.devicePath.empty()) j["devicePath"] = b.devicePath;
            j["route"] = b.route;
        }
        list.push_back(std::move(j));
    }
    // Texts of the boards are Windows-1252; JSON wants UTF-8.
    return nlohmann::json{{"boards", list}}.dump(2, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

} // namespace flashwell::app
