// A complete simulated machine: clock, Windows with the board driver, boards, traffic record.
#pragma once

#include "sim/board.h"
#include "sim/sim_windows.h"
#include "sim/traffic_recorder.h"
#include "sim/virtual_clock.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace flashwell::sim {

struct WorldOptions {
    WindowsConfig windows;
    ClockOptions clock;
};

// A test builds a fresh machine in one line and hands its Os() to the host code:
//
//   sim::SimWorld world;
//   sim::Board& board = world.AddBoard({});      // a USB board, product 1801, full speed
//   platform::OsPort& os = world.Os();
//   ... run host code against os ...
//   auto packets = world.Recorder().PipeWrites(0);
class SimWorld final : private BoardBus {
public:
    explicit SimWorld(WorldOptions options = {});
    // A second machine that goes on from where this one is, on its own from then on: same
    // time, device nodes, open handles, boards with their memories and programs, traffic
    // record. The IoControl observer is not copied. Throws std::logic_error when a board runs a
    // program or has hooks a test made itself (board.h).
    SimWorld(const SimWorld& other);
    // The same into a machine that exists already, keeping its IoControl observer; reuses the
    // storage of its boards' memories where the copy has to make it anew.
    SimWorld& operator=(const SimWorld& other);

    // Plugs in a board; its interface is listed after those of earlier boards. Board ids count
    // from 0 in the order of AddBoard. An empty instance id gets "6&2c24ce2e&0&<id + 1>".
    Board& AddBoard(BoardConfig config = {});
    Board& GetBoard(int id) { return *boards_.at(static_cast<std::size_t>(id)); }
    std::size_t BoardCount() const { return boards_.size(); }

    // The board is pulled: its interface leaves the list, open handles fail with `error`
    // (31 or 1167) from then on. Reattach plugs it in again under its current identity.
    void Vanish(Board& board, platform::DWORD error = platform::kErrorDeviceNotConnected);
    void Reattach(Board& board);

    // The board is switched off and on again: it boots from its EEPROM and flash
    // (Board::PowerCycle). Inspect(board) (board_contents.h) tells what it then runs and holds.
    void PowerCycle(Board& board) { board.PowerCycle(); }
    // The user unplugs and replugs a board: a re-enumeration that has not come back (see
    // BoardFaults::reenumerationNeedsReconnect) completes now; otherwise Vanish and Reattach.
    void Reconnect(Board& board);
    // Carries out what is due at the current virtual time on every board (re-enumerations,
    // boot program writes). Every OS call does this first.
    void Poll();

    platform::OsPort& Os() { return windows_; }
    SimWindows& Windows() { return windows_; }
    TrafficRecorder& Recorder() { return recorder_; }
    const TrafficRecorder& Recorder() const { return recorder_; }
    VirtualClock& Clock() { return clock_; }

private:
    void Leave(Board& board, platform::DWORD error) override;
    void Arrive(Board& board) override;
    bool Present(const Board& board) const override { return windows_.IsAttached(board); }
    std::uint64_t NowMs() const override { return clock_.NowMs(); }
    void WaitUntil(std::uint64_t ms) override {
        if (ms > clock_.NowMs()) clock_.Advance(ms - clock_.NowMs());
    }

    VirtualClock clock_;
    TrafficRecorder recorder_;
    // Before the Windows: a copy of the Windows puts its device nodes on the copied boards.
    std::vector<std::unique_ptr<Board>> boards_;
    SimWindows windows_;
};

} // namespace flashwell::sim
