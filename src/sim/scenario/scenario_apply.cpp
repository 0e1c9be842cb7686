#include "boarddata/images/images.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace flashwell::sim {

namespace {

// The update steps' names for what each writes on the board.
BoardArea AreaNamed(const std::string& step) {
    if (step == "firmware") return BoardArea::Eeprom;
    if (step == "rbf") return BoardArea::Fpga;
    if (step == "kpci") return BoardArea::SecondBank;
    if (step == "flash") return BoardArea::ParameterBlock;
    if (step == "boot") return BoardArea::BootProgram;
    return BoardArea::None;
}

DeviceKind KindOf(const std::string& kind) {
    if (kind == "usb1802") return DeviceKind::UsbBoard1802;
    if (kind == "pci") return DeviceKind::PciBoard;
    if (kind == "boot8613") return DeviceKind::EzUsbBoot8613;
    if (kind == "boot2131") return DeviceKind::EzUsbBoot2131;
    return DeviceKind::UsbBoard1801;
}

// "Name[i].Field"; appended, as gcc 12 misreads chains of + at -O3.
std::string FieldOf(const char* group, std::size_t index, const char* field) {
    std::string name = group;
    name += '[';
    name += std::to_string(index);
    name += "].";
    name += field;
    return name;
}

// A year of fewer than four digits is taken as one of this century or, from "9", the last.
std::string FullYear(std::string year) {
    year.resize(4, '\0');
    if (year[0] == '1' || year[0] == '2') return year.substr(0, year.find('\0'));
    std::string full = year[0] == '9' ? "19" : "20";
    full.append(year, 0, 2);
    return full.substr(0, full.find('\0'));
}

// The block as the production programs it: every field written (numbers 0, empty texts), the
// bytes between fields left erased.
ParameterBlock BlockOf(const ScenarioParameterBlock& p) {
    ParameterBlock block = ErasedParameterBlock();
    for (const ParameterField& f : ParameterFields()) {
        if (f.encoding == FieldEncoding::Text) {
            SetText(block, f.name, "");
        } else {
            const std::vector<std::uint8_t> zeros(f.size, 0);
            SetRaw(block, f.name, zeros);
        }
    }
    constexpr std::uint8_t kGroupCounts[5] = {0x40, 0x40, 0x20, 0x10, 0x10};
    for (std::size_t c = 0; c < 5; ++c)
        SetNumber(block, FieldOf("ChannelGroups", c, "Count"), kGroupCounts[c]);
    SetText(block, "ProductName", p.productName);
    SetText(block, "Manufacturer", p.manufacturer);
    SetText(block, "Vendor", p.vendor);
    SetText(block, "Customer", p.customer);
    SetText(block, "SerialNumber", p.serialNumber);
    const std::uint8_t revision[2] = {p.revisionMinor, p.revisionMajor};
    SetRaw(block, "RevisionStamps[0].Revision", revision);
    SetText(block, "RevisionStamps[0].Day", "01");
    SetText(block, "RevisionStamps[0].Month", "01");
    SetText(block, "RevisionStamps[0].Year", "2004");
    SetText(block, "BoardDate.Day", p.dateDay);
    SetText(block, "BoardDate.Month", p.dateMonth);
    SetText(block, "BoardDate.Year", FullYear(p.dateYear));
    SetRaw(block, "FeatureFlags", p.featureFlags);
    // Calibration data of the board's own, which no update may lose.
    std::vector<std::uint32_t> curve(1024);
    for (std::size_t i = 0; i < curve.size(); ++i)
        curve[i] = static_cast<std::uint32_t>((i * 2654435761u) & 0xFFFFFF);
    SetNumbers(block, "Curve", curve);
    std::vector<std::uint8_t> tableC(FieldNamed("TableC").size);
    for (std::size_t i = 0; i < tableC.size(); ++i)
        tableC[i] = static_cast<std::uint8_t>(i * 37 + 11);
    SetRaw(block, "TableC", tableC);
    return block;
}

void StoreCurrentContents(Board& board) {
    SetEepromContents(board, std::span<const std::uint8_t>(images::EepromBootImage,
                                                           images::kEepromBootImageSize));
    SetFpgaConfiguration(
        board, std::span<const std::uint8_t>(images::RbfImageRev12, images::kRbfImageRev12Size));
    SetSecondBankData(board, FramedKpciData());
    std::vector<std::uint32_t> boot(images::kDspImageBufferCells);
    boot.resize(static_cast<std::size_t>(images::BuildBootProgramImage(boot.data())));
    SetBootArea(board, boot);
    board.PowerCycle();
}

} // namespace

void ApplyScenario(SimWorld& world, const Scenario& scenario) {
    if (scenario.windowsVersion) world.Windows().Config().version = *scenario.windowsVersion;
    std::uint64_t seed = 1;
    for (const ScenarioBoard& b : scenario.boards) {
        BoardConfig config;
        config.kind = KindOf(b.kind);
        config.highSpeed = b.highSpeed;
        config.winUsb = b.driver == "winusb";
        config.pullAt = AreaNamed(b.pullAt);
        config.failAt = AreaNamed(b.failAt);
        config.firmwareVersion = {b.firmwareVersion[0], b.firmwareVersion[1], b.firmwareVersion[2]};
        config.driverVersion = {b.driverVersion[0], b.driverVersion[1], b.driverVersion[2]};
        config.interfaceVersion = b.interfaceVersion;
        config.subId = b.subId;
        config.reenumerationDelayMs = b.reenumerationDelayMs;
        const ScenarioTiming& t = b.timing;
        config.timing.loadPrepareMs = t.loadPrepareMs.value_or(config.timing.loadPrepareMs);
        config.timing.programStartMs = t.programStartMs.value_or(config.timing.programStartMs);
        config.timing.blockPrepareMs = t.blockPrepareMs.value_or(config.timing.blockPrepareMs);
        config.timing.blockWriteMs = t.blockWriteMs.value_or(config.timing.blockWriteMs);
        config.timing.eraseMs = t.eraseMs.value_or(config.timing.eraseMs);
        config.timing.eepromWriteCycleMs =
            t.eepromWriteCycleMs.value_or(config.timing.eepromWriteCycleMs);
        config.bootProgramWriteMs = t.bootProgramWriteMs.value_or(config.bootProgramWriteMs);
        for (const ScenarioFault& f : b.faults)
            config.faults.push_back(FaultRule{f.request, f.after, f.error, f.once});
        if (!b.instanceId.empty()) config.instanceId = b.instanceId;
        Board& board = world.AddBoard(config);

        SetParameterBlock(board, BlockOf(b.parameterBlock));
        const bool usbBoard = config.kind == DeviceKind::UsbBoard1801;
        if (b.contents == "old" && usbBoard)
            FillWithOldContents(board, b.contentsSeed.value_or(seed++));
        if (b.contents == "current" && usbBoard) StoreCurrentContents(board);
        // "blank" leaves every memory erased.
        if (!b.parameterBlock.readable) board.FailAnswerWords({1});
        board.Faults().reenumerationNeedsReconnect = !b.reenumerationComesBack;
        // The update's own tries each make up to 101 write attempts (the EEPROM write's
        // retries): the byte takes at the first write of try k.
        for (const auto& [address, verifyAt] : b.eepromWeakBytes)
            board.Faults().eepromWriteTakesAt[address] =
                verifyAt == 0 ? 0 : (verifyAt - 1) * 101 + 1;
        board.ResetFaultCounters();
    }
}

std::string BoardReportJson(SimWorld& world) {
    using nlohmann::json;
    json boards = json::array();
    for (std::size_t i = 0; i < world.BoardCount(); ++i) {
        Board& board = world.GetBoard(static_cast<int>(i));
        world.PowerCycle(board);
        const BoardReport r = Inspect(board);
        const ParameterBlock& p = r.parameterBlock;
        const auto revision = Raw(p, "RevisionStamps[0].Revision");
        const auto flags = Raw(p, "FeatureFlags");
        constexpr std::uint8_t kCounter32Mode = 0x04; // byte 2 of the feature flags
        char marker[8];
        std::snprintf(marker, sizeof marker, "0x%02X", r.eepromMarker);
        json entry = {
            {"board", i},
            {"devicePath", board.DevicePath()},
            {"ezusb",
             {{"identity", IdentityText(r.identity)},
              {"runsBoardFirmware", r.runsBoardFirmware},
              {"eepromFirstByte", marker},
              {"eepromEqualsImage", r.eepromIsBootImage}}},
            {"fpga",
             {{"image", FpgaContentName(r.fpga)},
              {"equalsImage", r.fpga == FpgaContent::Rev11 || r.fpga == FpgaContent::Rev12 ||
                                  r.fpga == FpgaContent::Rev13}}},
            {"bootProgram", {{"equalsImage", r.bootProgram == BootAreaContent::BootProgram}}},
            {"secondBank", {{"equalsKpciImage", r.secondBank == SecondBankContent::FramedKpci}}},
            {"parameterBlock",
             {{"erased", r.parameterBlockErased},
              {"productName", Text(p, "ProductName")},
              {"customer", Text(p, "Customer")},
              {"serialNumber", Text(p, "SerialNumber")},
              {"hardwareRevision", std::to_string(revision[1]) + "." + std::to_string(revision[0])},
              {"boardDate", Text(p, "BoardDate.Day") + "." + Text(p, "BoardDate.Month") + "." +
                                Text(p, "BoardDate.Year")},
              {"featureFlags", std::vector<std::uint8_t>(flags.begin(), flags.end())},
              {"counter32Mode", (flags[2] & kCounter32Mode) != 0}}},
        };
        boards.push_back(entry);
    }
    // Texts from a board may hold any byte; the report must still be written.
    return json{{"boards", boards}}.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool WriteBoardReport(SimWorld& world, const std::string& path, std::string& error) {
    std::ofstream out(path, std::ios::binary);
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    out << BoardReportJson(world);
    out.flush();
    if (!out) {
        error = path + ": writing failed";
        return false;
    }
    return true;
}

} // namespace flashwell::sim
