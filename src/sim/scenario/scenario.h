// Scenarios: JSON descriptions of the simulated boards a run starts with (docs/scenarios.md).
#pragma once

#include "platform/os_port.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::sim {

struct ScenarioFault {
    // Request code; 0 means any request.
    std::uint32_t request = 0;
    std::uint32_t after = 0;
    std::uint32_t error = platform::kErrorDeviceNotConnected;
    bool once = false;
};

struct ScenarioParameterBlock {
    // When false the flash answers the parameter block read with failure words.
    bool readable = true;
    std::string productName = "vexta/USB";
    std::string manufacturer = "Havelunde GmbH";
    std::string vendor = "Havelunde GmbH";
    std::string customer;
    std::string serialNumber = "2004-K7A-1024-5-0312";
    // Major and minor, as in "1.2".
    std::uint8_t revisionMajor = 1;
    std::uint8_t revisionMinor = 2;
    std::string dateDay = "12";
    std::string dateMonth = "05";
    std::string dateYear = "2005";
    std::vector<std::uint8_t> featureFlags; // up to 10 bytes; missing ones are 0
};

// Durations of the board's work in virtual milliseconds (BoardTiming); unset ones keep the
// board's defaults.
struct ScenarioTiming {
    std::optional<std::uint32_t> loadPrepareMs;
    std::optional<std::uint32_t> programStartMs;
    std::optional<std::uint32_t> blockPrepareMs;
    std::optional<std::uint32_t> blockWriteMs;
    std::optional<std::uint32_t> eraseMs;
    std::optional<std::uint32_t> eepromWriteCycleMs;
    std::optional<std::uint32_t> bootProgramWriteMs;
};

struct ScenarioBoard {
    std::string kind = "usb1801"; // usb1801, usb1802, pci, boot8613, boot2131
    std::string contents = "old"; // old, current, blank
    std::int32_t subId = 3;
    bool highSpeed = false;
    std::string driver = "legacy"; // legacy (the board driver), winusb
    // Where the board goes wrong on purpose: pulled at the first write of, or failing every
    // write of, "firmware" (the EEPROM), "rbf", "kpci", "flash" or "boot"; empty: nowhere.
    std::string pullAt;
    std::string failAt;
    std::uint8_t firmwareVersion[3] = {5, 8, 1};
    std::uint16_t driverVersion[3] = {6, 2, 17};
    std::optional<std::uint32_t> interfaceVersion = 0x40003;
    ScenarioParameterBlock parameterBlock;
    std::vector<ScenarioFault> faults;
    // Virtual milliseconds until a re-enumerated controller is back on the bus.
    std::uint32_t reenumerationDelayMs = 1500;
    // False: it comes back only after the user reconnects it by hand.
    bool reenumerationComesBack = true;
    // EEPROM addresses whose written byte reads back wrong until attempt `verifyAt` (0: never).
    std::vector<std::pair<std::uint16_t, std::uint32_t>> eepromWeakBytes;
    ScenarioTiming timing;
    // Set by a program that takes one board of a bench onto a machine of its own: its instance
    // (and so its place) and the seed of its old contents as on the whole bench.
    std::string instanceId;
    std::optional<std::uint64_t> contentsSeed;
};

struct Scenario {
    std::string name = "default";
    std::vector<ScenarioBoard> boards;
    std::optional<platform::OsVersionInfo> windowsVersion;
};

// One vexta/USB board of hardware revision 1.2 with old contents at index 0.
Scenario DefaultScenario();

struct ScenarioResult {
    std::optional<Scenario> scenario;
    // "<file>: <field>: <problem>" when the scenario cannot be used.
    std::string error;
};

ScenarioResult ParseScenario(const std::string& text, const std::string& fileName);
// A scenario's name, shown when the program starts, is at most this long.
inline constexpr std::size_t kMaxScenarioNameLength = 200;
// Scenario files larger than this are refused unread.
inline constexpr std::uintmax_t kMaxScenarioFileBytes = 1024 * 1024;
ScenarioResult LoadScenarioFile(const std::string& path);

class SimWorld;

// Plugs the scenario's boards into the world, with their contents, and configures its Windows.
void ApplyScenario(SimWorld& world, const Scenario& scenario);

// Power-cycles every board of the world and describes what each then runs and holds, as JSON.
std::string BoardReportJson(SimWorld& world);
bool WriteBoardReport(SimWorld& world, const std::string& path, std::string& error);

} // namespace flashwell::sim
