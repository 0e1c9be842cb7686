// The scan and one update step against a board whose answers the fuzzer decides, in virtual
// time: the input picks the step, the board comes prepared so that the step has its work to do
// (every other image already current), and the input picks requests to fail with Windows error
// codes, answers to corrupt or cut short, answer words to lose and moments to pull the board for
// a while. A run is judged as the fault sweep judges one: exactly one final message, and after a
// power cycle the success message only when the board holds every image.
//
// Input:
//   byte 0  step: low 3 bits modulo 5 pick UpdateFlashData, UpdateRBF, UpdateKPCI,
//           UpdateBootprogram or UpdateFirmware; 0x40 a high-speed board; 0x80 scan only
//   byte 1  the SubID dialog: below 0xC0 revision (value % 4 - 1, -1 cancels), else closed
//   byte 2  budget: the step gets budget * 8 requests, then the board is pulled for good;
//           0xFF lets the parameter block and boot program steps run to their end
//   then actions, each (gap LE16, what, argument...): the action applies at the request that
//   comes `gap` requests after the previous action's (the first counts from the scan's first).
// The budget keeps the work per input small: a whole step moves up to ~90000 requests, most of
// them alike, while the failures worth finding sit around the injected faults. Only the two
// short steps (about 3000 and 240 requests when clean) may run to their end, so that success is
// judged too: a run to the end of the FPGA, second-bank or firmware step (12000 to 90000
// requests) costs as much as a hundred other inputs, and inputs that reach new code there stay
// in the corpus and would soon be most of the work. The fault sweep runs those steps to their
// end for every fault it places. The scan (about 640 requests of a clean board) is never cut
// short.
//
// Each step and board speed has its board prepared once, and scanned cleanly once. An input
// starts from a copy of the prepared machine, or, when its first action comes after the clean
// scan's last request, from a copy of the scanned machine and of the program that scanned it:
// the same run without preparing or scanning. FLASHWELL_FUZZ_BOTH_WAYS=1 runs such inputs from
// the prepared machine as well and reports a run that ends differently.
#include "byte_stream.h"
#include "sim/board.h"
#include "sim/board_contents.h"
#include "sim/controller_firmware.h"
#include "sim/flash_memory.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"
#include "testkit/board_judge.h"
#include "testkit/temp_data_folder.h"
#include "testkit/virtual_time.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// The corrupting wire's queue, and which firmware has the wire in front of it.
struct Wire {
    std::deque<Mangle> mangles;
    const sim::ControllerFirmware* wrapped = nullptr;
};

// The board firmware with a corrupting wire behind it: pipe reads come back cut short, with a
// byte changed, padded with junk up to the buffer's size, or empty, as the queue says.
class ManglingFirmware final : public sim::WiredBoardFirmware {
public:
    ManglingFirmware(std::array<std::uint8_t, 3> version, sim::FirmwareEnvironment& environment,
                     std::shared_ptr<Wire> wire)
        : WiredBoardFirmware(version, environment), wire_(std::move(wire)) {
        wire_->wrapped = this;
    }
    ~ManglingFirmware() override {
        if (wire_->wrapped == this) wire_->wrapped = nullptr;
    }
    ManglingFirmware(const ManglingFirmware&) = delete;
    ManglingFirmware& operator=(const ManglingFirmware&) = delete;

    std::size_t OnPipeRead(std::span<std::uint8_t> buffer) override {
        std::size_t n = Inner().OnPipeRead(buffer);
        if (wire_->mangles.empty()) return n;
        const Mangle m = wire_->mangles.front();
        wire_->mangles.pop_front();
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

private:
    std::shared_ptr<Wire> wire_;
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
    // `budget`: requests of the step the board answers before it is pulled for good (kNever:
    // all of them).
    Injector(std::span<const std::uint8_t> actions, std::uint64_t budget, sim::SimWorld& world,
             sim::Board& board)
        : in_(actions), budget_(budget), world_(world), board_(board),
          wire_(std::make_shared<Wire>()) {
        next_ = in_.Empty() ? kNever : in_.Le16();
    }

    // The request the first action applies at (kNever: there is none).
    std::uint64_t FirstAt() const { return next_; }

    // The step starts: from here on the board answers `budget` more requests at most.
    void BeginStep() {
        // Counted by the machine: a copied scan reached no observer.
        if (budget_ != kNever) pullAt_ = world_.Windows().IoControlCount() + budget_;
    }

    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

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
        // A controller that is re-enumerating is off the bus already: pull it once it is back.
        if (index >= pullAt_ && !board_.ReenumerationPending()) {
            if (world_.Windows().IsAttached(board_))
                world_.Vanish(board_, platform::kErrorDeviceNotConnected);
            reattachAt_ = kNever;
            pullAt_ = kNever;
        }
        if (index < next_) return;
        Act(index);
        next_ = in_.Empty() ? kNever : index + 1 + in_.Le16();
    }

    // The run is over: whatever was pulled is plugged in again, to be judged.
    void Settle() {
        if (!world_.Windows().IsAttached(board_) && !board_.ReenumerationPending())
            world_.Reattach(board_);
        reattachAt_ = kNever;
        pullAt_ = kNever;
    }

private:
    // Every firmware the controller starts (after a re-enumeration too) gets the corrupting
    // wire; one that has answered nothing yet loses nothing by being replaced.
    void WrapFirmware() {
        // Nearly always the wire is in place already: no need to look at the firmware's type.
        if (board_.Firmware() == wire_->wrapped) return;
        sim::BoardFirmware* plain = board_.RunningBoardFirmware();
        if (plain == nullptr || plain->PendingAnswerBytes() != 0) return;
        board_.SetFirmware(
            std::make_unique<ManglingFirmware>(board_.Config().firmwareVersion, board_, wire_));
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
            if (wire_->mangles.size() < 64) wire_->mangles.push_back(m);
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
    std::uint64_t budget_;
    sim::SimWorld& world_;
    sim::Board& board_;
    std::shared_ptr<Wire> wire_;
    std::uint64_t next_ = kNever;
    std::uint64_t reattachAt_ = kNever;
    std::uint64_t pullAt_ = kNever;
    bool armed_ = false;
};

enum class Step { FlashData, Rbf, Kpci, BootProgram, Firmware };

// Memories as an earlier production left them, the same for every input.
const sim::OldContents& Old() {
    static const sim::OldContents old = sim::MakeOldContents(7);
    return old;
}

// A board with every image current except the one the step writes. The default parameter
// block is one the parameter block step rewrites.
void Prepare(sim::SimWorld& world, Step step, bool highSpeed) {
    world.Recorder().SetEnabled(false);
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.boards[0].highSpeed = highSpeed;
    scenario.boards[0].contents = "current";
    sim::ApplyScenario(world, scenario);
    sim::Board& board = world.GetBoard(0);
    switch (step) {
    case Step::FlashData:
        break;
    case Step::Rbf:
        sim::SetFpgaConfiguration(board, Old().fpga);
        break;
    case Step::Kpci:
        sim::SetSecondBankData(board, Old().secondBank);
        break;
    case Step::BootProgram:
        sim::SetBootArea(board, Old().bootProgram);
        break;
    case Step::Firmware:
        sim::SetEepromContents(board, Old().eeprom);
        world.PowerCycle(board);
        break;
    }
    board.ResetFaultCounters();
}

// The program on a machine of its own, as testing::AppWorld has it, with one data folder for
// the whole process.
struct Rig {
    // A program that has not scanned yet.
    explicit Rig(sim::SimWorld& machine)
        : world(machine), boards(machine.Os()), protocol(boards, ui) {}
    // A copy of `scanned`, which has, on `machine`, a copy of its machine.
    Rig(sim::SimWorld& machine, const Rig& scanned)
        : world(machine), boards(scanned.boards, machine.Os()), ui(scanned.ui),
          protocol(scanned.protocol, boards, ui),
          form(std::make_unique<app::TForm1>(*scanned.form, Services())) {
        ui.form = form.get();
    }
    // The copies this run saved go; the folder stays for the next run.
    ~Rig() {
        std::error_code ignored;
        std::filesystem::remove_all(backups.Folder(), ignored);
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Making and removing a folder for each run would cost more than many a run.
    static const std::filesystem::path& DataFolder() {
        static const testing::TempDataFolder folder;
        return folder.Path();
    }

    app::Services Services() { return {world.Os(), boards, protocol, ui, backups}; }
    app::TForm1& Start() {
        form = std::make_unique<app::TForm1>(Services());
        form->FormCreate();
        return *form;
    }

    // A fixed time for the copies' names, so that two runs of one input log the same lines.
    app::BackupStore backups{DataFolder(), "flashwell fuzz", [] { return std::time_t{1165000000}; },
                             app::BackupStore::Durability::CacheOnly};
    sim::SimWorld& world;
    device::BoardTable boards;
    testing::ScriptedAppUi ui;
    protocol::BoardProtocol protocol;
    std::unique_ptr<app::TForm1> form;
};

// What every input of one step and board speed starts from: the prepared machine, and the
// program with its machine after a clean scan. Preparing a board and scanning it cost more than
// most steps that follow, so they are done once.
struct Start {
    explicit Start(Step step, bool highSpeed)
        : prepared(testing::VirtualTime()),
          scannedMachine(std::make_unique<sim::SimWorld>(prepared)),
          scanned(std::make_unique<Rig>(*scannedMachine)) {
        Prepare(prepared, step, highSpeed);
        *scannedMachine = prepared;
        scanned->Start();
        scanRequests = scannedMachine->Windows().IoControlCount();
        runOnPrepared = std::make_unique<sim::SimWorld>(prepared);
        runOnScanned = std::make_unique<sim::SimWorld>(*scannedMachine);
    }

    sim::SimWorld prepared;
    std::unique_ptr<sim::SimWorld> scannedMachine;
    std::unique_ptr<Rig> scanned;
    // The machines the runs take place on, each set back to its starting point after every
    // run: a copy made afresh would cost more than most runs, in fresh pages for its memories.
    // Always set back to the same point, a machine keeps its storage in the same shape, and a
    // run gives back what it allocated (one that does not makes libFuzzer run it again and
    // search the whole heap for a leak).
    std::unique_ptr<sim::SimWorld> runOnPrepared;
    std::unique_ptr<sim::SimWorld> runOnScanned;
    // Requests of the clean scan: an input whose first action comes at or after this one
    // scans as cleanly.
    std::uint64_t scanRequests = 0;
};

Start& StartFor(Step step, bool highSpeed) {
    static std::array<std::unique_ptr<Start>, 10> starts;
    auto& start = starts[static_cast<std::size_t>(step) * 2 + (highSpeed ? 1 : 0)];
    if (!start) start = std::make_unique<Start>(step, highSpeed);
    return *start;
}

void Tick(app::TForm1& form, Step step) {
    form.CheckBox6.checked = step == Step::FlashData;
    form.CheckBox1.checked = step == Step::Rbf;
    form.CheckBox2.checked = step == Step::Kpci;
    form.CheckBox3.checked = step == Step::BootProgram;
    form.CheckBox4.checked = step == Step::Firmware;
}

// The parameter block as the board's flash holds it now (a whole Inspect compares every image,
// which would cost more than many a run).
boarddata::FlashDataBlock BlockOnBoard(const sim::Board& board) {
    namespace L = sim::flash_layout;
    const auto bytes = board.Flash().Range(0, L::kParameterBlock, L::kParameterBlockSize);
    boarddata::FlashDataBlock block{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), block.size()), block.begin());
    return block;
}

// The parameter block a clean run of the parameter block step leaves; the other steps leave
// the block as it was.
const boarddata::FlashDataBlock& BlockAfterFlashDataStep() {
    static const boarddata::FlashDataBlock block = [] {
        sim::SimWorld machine(StartFor(Step::FlashData, false).prepared);
        Rig rig(machine);
        app::TForm1& form = rig.Start();
        Tick(form, Step::FlashData);
        form.Button1Click();
        sim::Board& board = rig.world.GetBoard(0);
        rig.world.PowerCycle(board);
        return sim::Inspect(board).parameterBlock;
    }();
    return block;
}

[[noreturn]] void Broken(const std::string& rule) {
    std::fprintf(stderr, "%s\n", rule.c_str());
    std::abort();
}

// What a run left, for comparing two ways of running one input.
struct Outcome {
    std::vector<std::string> log;
    std::vector<std::string> messages;
    std::string board;
    bool operator==(const Outcome&) const = default;
};

// Runs one input and judges it; `keep`: returns what the run left. `fromScan`: start from copies of
// the scanned machine and program; only for inputs whose first action comes after the scan.
Outcome Run(std::span<const std::uint8_t> input, bool fromScan, bool keep) {
    fuzz::ByteStream in(input);
    const std::uint8_t settings = in.Byte();
    const std::uint8_t subIdAnswer = in.Byte();
    const std::uint8_t budget = in.Byte();
    const auto step = static_cast<Step>((settings & 0x07) % 5);
    Start& start = StartFor(step, (settings & 0x40) != 0);

    sim::SimWorld& machine = fromScan ? *start.runOnScanned : *start.runOnPrepared;
    // Set back when the run is over and its program gone.
    struct SetBack {
        sim::SimWorld& machine;
        const sim::SimWorld& from;
        ~SetBack() { machine = from; }
    } setBack{machine, fromScan ? *start.scannedMachine : start.prepared};
    // On the stack: the program's objects take some 200 KB, which the heap would hand out as
    // fresh pages every time.
    std::optional<Rig> made;
    if (fromScan)
        made.emplace(machine, *start.scanned);
    else
        made.emplace(machine);
    Rig& rig = *made;
    sim::Board& board = rig.world.GetBoard(0);
    const boarddata::FlashDataBlock original = BlockOnBoard(board);
    if (subIdAnswer < 0xC0) rig.ui.revisionAnswers.push_back(subIdAnswer % 4 - 1);

    const bool toTheEnd = budget == 0xFF && (step == Step::FlashData || step == Step::BootProgram);
    Injector injector(in.Rest(), toTheEnd ? Injector::kNever : budget * 8ull, rig.world, board);
    rig.world.Windows().SetIoControlObserver(
        [&injector](std::uint64_t index, DWORD) { injector.OnRequest(index); });

    app::TForm1& form = fromScan ? *rig.form : rig.Start();
    Tick(form, step);
    // A scan that found nothing leaves the button disabled: there is no run to judge then.
    const bool run = (settings & 0x80) == 0 && form.Button1.enabled;
    // A board the scan did not accept is refused in an error box of its own, which is the run's
    // error message.
    struct Refusals final : app::RunObserver {
        void OnRunEvent(const app::RunEvent& event) override {
            count += std::holds_alternative<app::RunRefused>(event);
        }
        int count = 0;
    } refusals;
    form.Subscribe(refusals);
    if (run) {
        injector.BeginStep();
        form.Button1Click();
    }
    rig.world.Windows().SetIoControlObserver(nullptr);
    injector.Settle();

    Outcome outcome;
    if (keep) {
        outcome.log = form.Memo1.lines;
        for (const auto& shown : rig.ui.boxes.shown)
            outcome.messages.push_back(shown.text);
    }
    if (!run) return outcome;

    int successes = 0;
    int errors = refusals.count;
    for (const auto& shown : rig.ui.boxes.shown) {
        successes += shown.text == app::kSuccessText;
        errors += shown.text == app::kErrorText;
    }
    if (successes + errors != 1)
        Broken("the run ended with " + std::to_string(successes + errors) + " final messages");
    if (successes == 1) {
        rig.world.PowerCycle(board);
        const sim::BoardReport r = sim::Inspect(board);
        // The parameter block step may also succeed without writing: a scan whose read of the
        // block failed leaves the default record in the cache, which no rule changes. A block
        // that is neither the old nor the intended one is lost, whatever the step.
        const boarddata::FlashDataBlock& intended =
            step == Step::FlashData ? BlockAfterFlashDataStep() : original;
        if (!sweep::EveryImageInPlace(r, intended) && !sweep::EveryImageInPlace(r, original))
            Broken("success reported but the board does not hold every image: " + r.ToString());
        if (keep) outcome.board = r.ToString();
    }
    return outcome;
}

// Whether the input's first action comes after the clean scan of its board.
bool AfterScan(std::span<const std::uint8_t> input) {
    fuzz::ByteStream in(input);
    const std::uint8_t settings = in.Byte();
    in.Byte();
    in.Byte();
    const Start& start = StartFor(static_cast<Step>((settings & 0x07) % 5), (settings & 0x40) != 0);
    return in.Empty() || in.Le16() >= start.scanRequests;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const bool afterScan = AfterScan(input);
    // FLASHWELL_FUZZ_BOTH_WAYS=1 (scripts/fuzz --ci sets it while replaying the committed
    // inputs): an input that may start after the scan runs from the start too, and both runs
    // must end alike, or the copied machine and program are not what a scan leaves.
    static const bool bothWays = std::getenv("FLASHWELL_FUZZ_BOTH_WAYS") != nullptr;
    const Outcome outcome = Run(input, afterScan, bothWays);
    if (afterScan && bothWays && Run(input, false, true) != outcome)
        Broken("the run from the copied scan differs from the run with its own scan");
    return 0;
}
