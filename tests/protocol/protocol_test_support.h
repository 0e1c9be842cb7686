// The board protocol on top of the tool's board table on a simulated machine, and a decoder
// that turns the recorded pipe traffic back into the DSP requests it carried.
#pragma once

#include "device/adapter_usb.h"
#include "protocol/board_protocol.h"
#include "sim/board_contents.h"
#include "sim/board_driver.h"
#include "sim/controller_firmware.h"
#include "sim/sim_world.h"
#include "testkit/fake_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashwell::testing {

using sim::Bytes;

struct ProtocolWorld {
    explicit ProtocolWorld(sim::BoardConfig config = {}) : board(world.AddBoard(config)) {}

    sim::SimWorld world;
    sim::Board& board;
    device::BoardTable boards{world.Os()};
    FakeUi ui;
    protocol::BoardProtocol proto{boards, ui};

    bool Open() { return boards.OpenBoard(0) == 1; }
    sim::TrafficRecorder& Rec() { return world.Recorder(); }
    std::size_t Mark() const { return world.Recorder().Size(); }
    std::vector<Bytes> Writes(std::size_t from = 0) { return Rec().PipeWrites(0, from); }
    std::vector<std::uint64_t> Sleeps(std::size_t from = 0) {
        std::vector<std::uint64_t> ms;
        for (const auto& e : Rec().OfKind(sim::EventKind::Sleep, from))
            ms.push_back(e.code);
        return ms;
    }
    std::vector<std::string> DebugLines(std::size_t from = 0) {
        std::vector<std::string> lines;
        for (const auto& e : Rec().OfKind(sim::EventKind::DebugOutput, from))
            lines.push_back(e.name);
        return lines;
    }
};

// A board running the flash-access program, opened as board 0.
struct FlashWorld : ProtocolWorld {
    static sim::BoardConfig Config(sim::BoardConfig c = {}) {
        c.dspAtPowerUp = sim::DspStartup::FlashAccess;
        return c;
    }
    // With a seed the board first gets old contents (sim::FillWithOldContents).
    explicit FlashWorld(sim::BoardConfig c = {}, std::optional<std::uint64_t> oldSeed = {})
        : ProtocolWorld(Config(std::move(c))) {
        if (oldSeed) sim::FillWithOldContents(board, *oldSeed);
        EXPECT_TRUE(Open());
    }
};

// The board firmware behind a wire that cuts the next pipe read to `keep` bytes (the rest of that
// answer is lost); later reads pass whole. Installed between requests, when no answer is pending.
class CutNextRead final : public sim::WiredBoardFirmware {
public:
    static void Install(sim::Board& board, std::size_t keep) {
        board.SetFirmware(std::make_unique<CutNextRead>(board, keep));
    }
    CutNextRead(sim::Board& board, std::size_t keep)
        : WiredBoardFirmware(board.Config().firmwareVersion, board), keep_(keep) {}

    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override {
        const std::size_t n = Inner().OnPipeRead(buffer);
        if (cut_) return n;
        cut_ = true;
        return std::min(n, keep_);
    }

private:
    std::size_t keep_;
    bool cut_ = false;
};

// One DSP request as the board saw it: the host command and every word sent after it up to the
// next host command (leading word, arguments, data words).
struct DspRequestSeen {
    int vector = -1;
    std::vector<std::uint32_t> words;
    // Answer words asked for inside the request's packets.
    std::size_t answerWordsAsked = 0;
};

// Decodes pipe-0 packets part by part, as the firmware reads them (parts of a combined packet
// start on 4-byte boundaries). A packet the decoder cannot read fails the test.
inline std::vector<DspRequestSeen> DecodeRequests(const std::vector<Bytes>& writes) {
    std::vector<DspRequestSeen> requests;
    for (const Bytes& p : writes) {
        std::size_t pos = 0;
        while (pos < p.size()) {
            const std::size_t left = p.size() - pos;
            std::size_t used = 0;
            switch (p[pos]) {
            case 0x02:
                EXPECT_GE(left, 3u);
                if (left < 3) return requests;
                if (p[pos + 1] == 1 && (p[pos + 2] & 0x80) != 0)
                    requests.push_back({p[pos + 2] & 0x7F, {}, 0});
                used = 3;
                break;
            case 0x06: {
                EXPECT_GE(left, 4u);
                if (left < 4) return requests;
                const std::size_t n = static_cast<std::size_t>(p[pos + 2] << 8 | p[pos + 3]);
                const std::size_t per = left - 4 >= 4 * n ? 4 : 3;
                EXPECT_GE(left - 4, per * n);
                if (left - 4 < per * n) return requests;
                if (requests.empty()) requests.push_back({});
                for (std::size_t w = 0; w < n; ++w) {
                    std::uint32_t v = 0;
                    for (std::size_t b = 0; b < per; ++b)
                        v |= std::uint32_t{p[pos + 4 + w * per + b]} << (8 * b);
                    requests.back().words.push_back(v);
                }
                used = 4 + per * n;
                break;
            }
            case 0x07:
                EXPECT_GE(left, 4u);
                if (left < 4) return requests;
                if (!requests.empty())
                    requests.back().answerWordsAsked +=
                        static_cast<std::size_t>(p[pos + 2] << 8 | p[pos + 3]);
                used = 4;
                break;
            case 0xFF:
            case 0x10:
                used = 1;
                break;
            case 0x55:
                used = 4;
                break;
            case 0x56:
                used = 3;
                break;
            default:
                ADD_FAILURE() << "unknown opcode " << int{p[pos]};
                return requests;
            }
            pos += used;
            if (pos < p.size()) pos = (pos + 3) & ~std::size_t{3};
        }
    }
    return requests;
}

inline std::vector<DspRequestSeen> OfVector(const std::vector<DspRequestSeen>& all, int vector) {
    std::vector<DspRequestSeen> out;
    for (const auto& r : all)
        if (r.vector == vector) out.push_back(r);
    return out;
}

// Progress positions reported through a ProgressCallback.
struct ProgressLog {
    std::vector<std::int32_t> positions;
    protocol::ProgressCallback Callback() {
        return [this](std::int32_t min, std::int32_t max, std::int32_t position) {
            EXPECT_EQ(min, 0);
            EXPECT_EQ(max, 100);
            positions.push_back(position);
        };
    }
};

} // namespace flashwell::testing
