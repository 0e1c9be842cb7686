#include "boarddata/images/images.h"
#include "sim/board_contents.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace flashwell::sim {

namespace {

DeviceKind KindOf(const std::string& kind) {
    if (kind == "usb1802") return DeviceKind::UsbBoard1802;
    if (kind == "pci") return DeviceKind::PciBoard;
    if (kind == "boot8613") return DeviceKind::EzUsbBoot8613;
    if (kind == "boot2131") return DeviceKind::EzUsbBoot2131;
    return DeviceKind::UsbBoard1801;
}

boarddata::FlashDataRecord RecordOf(const ScenarioParameterBlock& p) {
    boarddata::FlashDataRecord r = boarddata::DefaultFlashDataRecord();
    r.ProductName = p.productName;
    r.Manufacturer = p.manufacturer;
    r.Vendor = p.vendor;
    r.Customer = p.customer;
    r.SerialNumber = p.serialNumber;
    r.HardwareRevision()[0] = p.revisionMinor;
    r.HardwareRevision()[1] = p.revisionMajor;
    r.RevisionStamps[0].Day = "01";
    r.RevisionStamps[0].Month = "01";
    r.RevisionStamps[0].Year = "2004";
    r.BoardDate = {p.dateDay, p.dateMonth, p.dateYear};
    for (std::size_t i = 0; i < p.featureFlags.size() && i < r.FeatureFlags.size(); ++i)
        r.FeatureFlags[i] = p.featureFlags[i];
    // Calibration data of the board's own, which no update may lose.
    for (std::size_t i = 0; i < r.Curve.size(); ++i)
        r.Curve[i] = static_cast<std::uint32_t>((i * 2654435761u) & 0xFFFFFF);
    for (std::size_t i = 0; i < r.TableC.size(); ++i)
        r.TableC[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return r;
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
        config.timing.eepromWriteCycleMs =
            t.eepromWriteCycleMs.value_or(config.timing.eepromWriteCycleMs);
        config.bootProgramWriteMs = t.bootProgramWriteMs.value_or(config.bootProgramWriteMs);
        for (const ScenarioFault& f : b.faults)
            config.faults.push_back(FaultRule{f.request, f.after, f.error, f.once});
        Board& board = world.AddBoard(config);

        SetParameterBlock(board, RecordOf(b.parameterBlock));
        const bool usbBoard = config.kind == DeviceKind::UsbBoard1801;
        if (b.contents == "old" && usbBoard) FillWithOldContents(board, seed++);
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
        const boarddata::FlashDataRecord& p = r.parameterRecord;
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
              {"productName", p.ProductName},
              {"customer", p.Customer},
              {"serialNumber", p.SerialNumber},
              {"hardwareRevision", std::to_string(p.HardwareRevision()[1]) + "." +
                                       std::to_string(p.HardwareRevision()[0])},
              {"boardDate", p.BoardDate.Day + "." + p.BoardDate.Month + "." + p.BoardDate.Year},
              {"featureFlags", p.FeatureFlags},
              {"counter32Mode", (p.FeatureFlags[2] & boarddata::kCounter32ModeMask) != 0}}},
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
