// The whole program against a board whose answers the fuzzer decides: the scan and a full update
// run in virtual time, while the input picks requests to fail with Windows error codes, answers
// to corrupt or cut short, answer words to lose and moments to pull the board for a while.
//
// Input: one byte of settings (steps, board variant), one byte for the SubID dialog, then
// actions, each (gap LE16, what, argument...): the action applies at the request that comes
// `gap` requests after the previous action's. Once the input is used up the board behaves, so
// every run ends as a clean run would, and the work per input stays bounded.
#include "byte_stream.h"
#include "sim/board.h"
#include "sim/controller_firmware.h"
#include "sim/scenario/scenario.h"
#include "support/app_world.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <limits>
#include <memory>
#include <span>

using namespace flashwell;
using platform::DWORD;

namespace {

// What happens to the bytes of one pipe read.
struct Mangle {
    enum class Kind : std::uint8_t { Cut, Flip, Pad, Drop };
    Kind kind = Kind::Cut;
    std::uint16_t at = 0;
    std::uint8_t value = 0;
};

using MangleQueue = std::deque<Mangle>;

// The board firmware with a corrupting wire behind it: pipe reads come back cut short, with a
// byte changed, padded with junk up to the buffer's size, or empty, as the queue says.
class ManglingFirmware final : public sim::ControllerFirmware {
public:
    ManglingFirmware(std::array<std::uint8_t, 3> version, sim::FirmwareEnvironment& environment,
                     std::shared_ptr<MangleQueue> mangles)
        : inner_(version, environment), mangles_(std::move(mangles)) {}

    void OnPipeWrite(std::span<const std::uint8_t> bytes) override { inner_.OnPipeWrite(bytes); }
    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override {
        std::size_t n = inner_.OnPipeRead(buffer);
        if (mangles_->empty()) return n;
        const Mangle m = mangles_->front();
        mangles_->pop_front();
        switch (m.kind) {
        case Mangle::Kind::Cut:
            return n == 0 ? 0 : m.at % n;
        case Mangle::Kind::Flip:
            if (n > 0) buffer[m.at % n] ^= m.value == 0 ? 0xFF : m.value;
            return n;
        case Mangle::Kind::Pad: {
            const std::size_t extra = std::min<std::size_t>(m.at, buffer.size() - n);
            for (std::size_t i = 0; i < extra; ++i)
                buffer[n + i] = m.value;
            return n + extra;
        }
        case Mangle::Kind::Drop:
            return 0;
        }
        return n;
    }
    bool WriteHostRegister(std::uint8_t reg, std::uint8_t value) override {
        return inner_.WriteHostRegister(reg, value);
    }
    std::size_t PendingAnswerBytes() const override { return inner_.PendingAnswerBytes(); }

private:
    sim::BoardFirmware inner_;
    std::shared_ptr<MangleQueue> mangles_;
};

constexpr std::array<DWORD, 15> kErrors{platform::kErrorInvalidFunction,
                                        platform::kErrorFileNotFound,
                                        platform::kErrorAccessDenied,
                                        platform::kErrorInvalidHandle,
                                        platform::kErrorGenFailure,
                                        platform::kErrorSharingViolation,
                                        platform::kErrorInvalidParameter,
                                        platform::kErrorInsufficientBuffer,
                                        platform::kErrorBusy,
                                        platform::kErrorNoMoreItems,
                                        platform::kErrorDeviceNotConnected,
                                        platform::kErrorTimeout,
                                        121 /* semaphore timeout */,
                                        995 /* operation aborted */,
                                        997 /* I/O pending */};

class Injector {
public:
    Injector(std::span<const std::uint8_t> actions, sim::SimWorld& world, sim::Board& board)
        : in_(actions), world_(world), board_(board), mangles_(std::make_shared<MangleQueue>()) {
        next_ = in_.Empty() ? kNever : in_.Le16();
    }

    void OnRequest(std::uint64_t index) {
        if (armed_) {
            board_.ClearFaults();
            armed_ = false;
        }
        WrapFirmware();
        if (index >= reattachAt_) {
            if (!world_.Windows().IsAttached(board_)) world_.Reattach(board_);
            reattachAt_ = kNever;
        }
        if (index < next_) return;
        Act(index);
        next_ = in_.Empty() ? kNever : index + 1 + in_.Le16();
    }

    // Once the input is used up nothing is pending any more: the rest of the run is clean.
    void Settle() {
        if (reattachAt_ != kNever && !world_.Windows().IsAttached(board_)) world_.Reattach(board_);
        reattachAt_ = kNever;
    }

private:
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

    // Every firmware the controller starts (after a re-enumeration too) gets the corrupting
    // wire; one that has answered nothing yet loses nothing by being replaced.
    void WrapFirmware() {
        sim::BoardFirmware* plain = board_.RunningBoardFirmware();
        if (plain == nullptr || plain->PendingAnswerBytes() != 0) return;
        board_.SetFirmware(
            std::make_unique<ManglingFirmware>(board_.Config().firmwareVersion, board_, mangles_));
    }

    void Act(std::uint64_t index) {
        const std::uint8_t what = in_.Byte();
        switch (what % 6) {
        case 0: // this request fails with a common error
            Fail(kErrors[in_.Byte() % kErrors.size()]);
            break;
        case 1: { // this request fails with any error
            const DWORD error = in_.Le32();
            Fail(error == 0 ? platform::kErrorGenFailure : error);
            break;
        }
        case 2: // the next pipe read is corrupted
        case 3: {
            Mangle m;
            m.kind = static_cast<Mangle::Kind>(in_.Byte() % 4);
            m.at = in_.Le16();
            m.value = in_.Byte();
            if (mangles_->size() < 64) mangles_->push_back(m);
            break;
        }
        case 4: // one of the next answer words from the DSP is lost
            board_.FailAnswerWords({1u + in_.Byte() % 16u});
            break;
        case 5: { // the board is pulled and plugged in again some requests later
            const DWORD error = in_.Byte() % 2 == 0 ? platform::kErrorDeviceNotConnected
                                                    : platform::kErrorGenFailure;
            const std::uint64_t away = 1 + in_.Byte();
            if (world_.Windows().IsAttached(board_) && !board_.ReenumerationPending() &&
                reattachAt_ == kNever) {
                world_.Vanish(board_, error);
                reattachAt_ = index + away;
            }
            break;
        }
        }
    }

    void Fail(DWORD error) {
        // Armed just before the driver looks at this request; disarmed before the next one.
        board_.AddFault({sim::FaultRule::kAnyCode, 0, error, true});
        armed_ = true;
    }

    fuzz::ByteStream in_;
    sim::SimWorld& world_;
    sim::Board& board_;
    std::shared_ptr<MangleQueue> mangles_;
    std::uint64_t next_ = kNever;
    std::uint64_t reattachAt_ = kNever;
    bool armed_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::ByteStream in({data, size});
    const std::uint8_t settings = in.Byte();
    const std::uint8_t subIdAnswer = in.Byte();

    sim::WorldOptions options;
    options.clock.speedFactor = 0;
    testing::AppWorld w(options);
    w.world.Recorder().SetEnabled(false);
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards[0].highSpeed = (settings & 0x20) != 0;
    if ((settings & 0x40) != 0) scenario.boards[0].contents = "current";
    sim::ApplyScenario(w.world, scenario);
    sim::Board& board = w.world.GetBoard(0);
    if (subIdAnswer < 0xC0) w.ui.revisionAnswers.push_back(subIdAnswer % 4 - 1);

    Injector injector(in.Rest(), w.world, board);
    w.world.Windows().SetIoControlObserver(
        [&injector](std::uint64_t index, DWORD) { injector.OnRequest(index); });

    app::TForm1& form = w.Start();
    form.CheckBox6.checked = (settings & 0x01) == 0;
    form.CheckBox1.checked = (settings & 0x02) == 0;
    form.CheckBox2.checked = (settings & 0x04) == 0;
    form.CheckBox3.checked = (settings & 0x08) == 0;
    form.CheckBox4.checked = (settings & 0x10) == 0;
    // A scan that found nothing leaves the button disabled: there is no run to judge then.
    const bool run = (settings & 0x80) == 0 && form.Button1.enabled;
    if (run) form.Button1Click();
    injector.Settle();

    // A run ends with exactly one verdict, whatever went wrong on the way.
    if (run) {
        int verdicts = 0;
        for (const auto& shown : w.ui.boxes.shown)
            verdicts += shown.text == app::kSuccessText || shown.text == app::kErrorText;
        if (verdicts != 1) {
            std::fprintf(stderr, "the run ended with %d verdicts\n", verdicts);
            std::abort();
        }
    }
    w.world.Windows().SetIoControlObserver(nullptr);
    return 0;
}
