// Sessions: a simulated full update recorded and replayed, a host that sends one byte
// differently, a recording cut off at a random point, and the file format's round trip.
#include "cli/session_ui.h"
#include "platform/forwarding_os_port.h"
#include "platform/session/recording_os_port.h"
#include "platform/session/replay_os_port.h"
#include "sim/scenario/scenario.h"
#include "testkit/app_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>

using namespace flashwell;
using namespace flashwell::testing;
using platform::session::Bytes;
using platform::session::CallKind;
using platform::session::SessionContents;

namespace {

constexpr platform::DWORD kPipeWrite = 0x222051;

struct RunResult {
    std::vector<std::string> log;
    app::RunOutcome outcome = app::RunOutcome::NotRun;
};

// The program as main() puts it together: scan, then one click on "Update".
RunResult RunProgram(platform::OsPort& os, app::AppUi& ui) {
    TempBackups backups;
    device::BoardTable boards(os);
    protocol::BoardProtocol protocol(boards, ui);
    app::TForm1 form(app::Services{os, boards, protocol, ui, backups.store});
    form.FormCreate();
    form.Button1Click();
    return {form.Memo1.lines, form.LastOutcome};
}

struct Replayed {
    RunResult run;
    std::string message;
    std::size_t served = 0;
    int questionsAsked = 0;
};

// Replays a session; `wrap` may stand between the program and the replaying port.
Replayed Replay(const SessionContents& session,
                const std::function<platform::OsPort&(platform::OsPort&)>& wrap = {}) {
    platform::session::ReplayOsPort port(session);
    ScriptedAppUi face;
    std::ostringstream answered;
    app::SessionAppUi ui(face, nullptr, &port, answered);
    platform::OsPort& os = wrap ? wrap(port) : port;
    Replayed r;
    r.run = RunProgram(os, ui);
    port.CheckFinished();
    r.message = port.Message();
    r.served = port.CallsServed();
    r.questionsAsked = static_cast<int>(face.boxes.shown.size()) + face.dialogShown;
    return r;
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One recording of the default board's full update, shared by the tests of this file.
class Recorded : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempDataFolder;
        const std::filesystem::path file = folder_->Path() / "full.fws";
        sim::SimWorld world;
        sim::ApplyScenario(world, sim::DefaultScenario());
        std::string error;
        auto recorder =
            platform::session::RecordingOsPort::Create(world.Os(), file.string(), "test", error);
        ASSERT_TRUE(recorder) << error;
        ScriptedAppUi face;
        std::ostringstream unused;
        app::SessionAppUi ui(face, recorder.get(), nullptr, unused);
        recorded_ = new RunResult(RunProgram(*recorder, ui));
        recorder.reset();
        bytes_ = new Bytes(ReadFile(file));
        auto parsed = platform::session::ParseSession(*bytes_, error);
        ASSERT_TRUE(parsed) << error;
        session_ = new SessionContents(std::move(*parsed));
    }
    static void TearDownTestSuite() {
        delete session_;
        delete bytes_;
        delete recorded_;
        delete folder_;
    }

    static const SessionContents& Session() { return *session_; }

    static TempDataFolder* folder_;
    static RunResult* recorded_;
    static Bytes* bytes_;
    static SessionContents* session_;
};

TempDataFolder* Recorded::folder_ = nullptr;
RunResult* Recorded::recorded_ = nullptr;
Bytes* Recorded::bytes_ = nullptr;
SessionContents* Recorded::session_ = nullptr;

// Number (from 1) of the record of the n-th (from 0) pipe write at or after the n-th request.
std::size_t PipeWriteRecord(const SessionContents& s, std::size_t n, std::size_t* requestIndex) {
    std::size_t requests = 0;
    for (std::size_t i = 0; i < s.records.size(); ++i) {
        const auto& r = s.records[i];
        if (r.kind != CallKind::DeviceIoControl) continue;
        if (requests >= n && r.request.numbers[1] == kPipeWrite) {
            *requestIndex = requests;
            return i + 1;
        }
        ++requests;
    }
    return 0;
}

// A host that differs from the recorded one in one byte of one pipe packet.
class OneByteChanged final : public platform::ForwardingOsPort {
public:
    OneByteChanged(platform::OsPort& inner, std::size_t request, std::size_t byte)
        : ForwardingOsPort(inner), request_(request), byte_(byte) {}
    platform::BOOL DeviceIoControl(platform::HANDLE device, platform::DWORD code, void* in,
                                   platform::DWORD inSize, void* out, platform::DWORD outSize,
                                   platform::DWORD* returned) override {
        if (requests_++ != request_)
            return Inner().DeviceIoControl(device, code, in, inSize, out, outSize, returned);
        std::vector<std::uint8_t> packet(static_cast<std::uint8_t*>(out),
                                         static_cast<std::uint8_t*>(out) + outSize);
        packet.at(byte_) ^= 0x01;
        return Inner().DeviceIoControl(device, code, in, inSize, packet.data(), outSize, returned);
    }

private:
    std::size_t request_, byte_;
    std::size_t requests_ = 0;
};

std::vector<std::string> RecordedLogBefore(const SessionContents& s, std::size_t records) {
    std::vector<std::string> log;
    for (std::size_t i = 0; i < records && i < s.records.size(); ++i)
        if (s.records[i].kind == CallKind::LogLine)
            log.emplace_back(s.records[i].request.blobs[0].begin(),
                             s.records[i].request.blobs[0].end());
    return log;
}

} // namespace

TEST_F(Recorded, FullUpdateFitsInTwoMegabytesAndEndsWithItsMark) {
    ASSERT_EQ(recorded_->outcome, app::RunOutcome::Succeeded);
    EXPECT_TRUE(Session().complete) << Session().stop;
    const auto requests =
        std::count_if(Session().records.begin(), Session().records.end(),
                      [](const auto& r) { return r.kind == CallKind::DeviceIoControl; });
    EXPECT_GT(requests, 160000);
    EXPECT_LT(bytes_->size(), 2u * 1024 * 1024);
    // The log is in the session in the order the program wrote it.
    EXPECT_EQ(RecordedLogBefore(Session(), Session().records.size()), recorded_->log);
    std::cout << "full update: " << requests << " requests, " << Session().records.size()
              << " records, " << bytes_->size() << " bytes\n";
}

TEST_F(Recorded, ReplayGivesTheSameLogAndOutcomeWithoutAskingAnyone) {
    const auto start = std::chrono::steady_clock::now();
    const Replayed r = Replay(Session());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.run.log, recorded_->log);
    EXPECT_EQ(r.run.outcome, recorded_->outcome);
    EXPECT_EQ(r.served, Session().records.size());
    EXPECT_EQ(r.questionsAsked, 0);
    std::cout << "replay of the full update: " << ms << " ms\n";
}

TEST_F(Recorded, HostChangedInOneByteStopsAtThatRequest) {
    std::size_t request = 0;
    const std::size_t call = PipeWriteRecord(Session(), 50000, &request);
    ASSERT_GT(call, 0u);
    const Bytes& sent = Session().records[call - 1].request.blobs[1];
    ASSERT_GT(sent.size(), 4u);
    std::optional<OneByteChanged> changed;
    const Replayed r = Replay(Session(), [&](platform::OsPort& port) -> platform::OsPort& {
        return changed.emplace(port, request, 4);
    });

    char recordedByte[8], programByte[8];
    std::snprintf(recordedByte, sizeof recordedByte, "[%02X]", sent[4]);
    std::snprintf(programByte, sizeof programByte, "[%02X]", sent[4] ^ 1);
    const std::string expectedStart = "replay stopped at call " + std::to_string(call) + " of " +
                                      std::to_string(Session().records.size()) +
                                      ": DeviceIoControl 2236497 (0x222051) differs from the "
                                      "recording: output bytes sent differ at byte 4";
    EXPECT_EQ(r.message.rfind(expectedStart, 0), 0u) << r.message;
    EXPECT_NE(r.message.find(std::string("recorded ") + "06 05 00 01 " + recordedByte),
              std::string::npos)
        << r.message;
    EXPECT_NE(r.message.find(std::string("program ") + "06 05 00 01 " + programByte),
              std::string::npos)
        << r.message;
    const auto logThen = RecordedLogBefore(Session(), call);
    ASSERT_FALSE(logThen.empty());
    EXPECT_NE(r.message.find("the program's log had reached \"" + logThen.back() + "\""),
              std::string::npos)
        << r.message;
    // The program gave up on the board and its run failed; nobody was asked anything.
    EXPECT_EQ(r.served, call - 1);
    EXPECT_EQ(r.run.outcome, app::RunOutcome::Failed);
    EXPECT_EQ(r.questionsAsked, 0);
    std::cout << r.message << "\n";
}

TEST_F(Recorded, SessionCutAtRandomReplaysUpToTheCutAndSaysSo) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 3; ++round) {
        const std::size_t cut = std::uniform_int_distribution<std::size_t>(
            bytes_->size() / 10, bytes_->size() - 2)(random);
        const Bytes head(bytes_->begin(), bytes_->begin() + static_cast<long>(cut));
        std::string error;
        const auto part = platform::session::ParseSession(head, error);
        ASSERT_TRUE(part) << error;
        EXPECT_FALSE(part->complete);
        EXPECT_NE(part->stop.find("cut off"), std::string::npos) << part->stop;
        const std::size_t kept = part->records.size();
        ASSERT_GT(kept, 0u);
        ASSERT_LT(kept, Session().records.size());
        // What was read is exactly the recording's beginning.
        for (std::size_t i = 0; i < kept; ++i) {
            ASSERT_EQ(part->records[i].kind, Session().records[i].kind) << i;
            ASSERT_EQ(part->records[i].request, Session().records[i].request) << i;
            ASSERT_EQ(part->records[i].answer, Session().records[i].answer) << i;
        }

        const Replayed r = Replay(*part);
        EXPECT_EQ(r.served, kept);
        EXPECT_EQ(r.message.rfind("replay stopped at call " + std::to_string(kept + 1) + " of " +
                                      std::to_string(kept) + ": the program calls ",
                                  0),
                  0u)
            << r.message;
        EXPECT_NE(r.message.find("cut off"), std::string::npos) << r.message;
        const auto logThen = RecordedLogBefore(Session(), kept);
        ASSERT_LE(logThen.size(), r.run.log.size());
        EXPECT_TRUE(std::equal(logThen.begin(), logThen.end(), r.run.log.begin()));
        EXPECT_NE(r.run.outcome, app::RunOutcome::Succeeded);
    }
}

TEST_F(Recorded, WritingWhatWasReadGivesTheSameBytes) {
    EXPECT_EQ(platform::session::EncodeSession(Session()), *bytes_);
}

TEST_F(Recorded, ProgramThatEndsEarlyLeavesTheRestReported) {
    SessionContents longer = Session();
    longer.records.push_back(longer.records.back());
    const Replayed r = Replay(longer);
    EXPECT_NE(r.message.find("the program has ended, the recording goes on with"),
              std::string::npos)
        << r.message;
}

TEST(SessionStream, EveryCallIsInTheFileWhileTheRecordingRuns) {
    TempDataFolder folder;
    const std::filesystem::path file = folder.Path() / "scan.fws";
    sim::SimWorld world;
    world.AddBoard({});
    std::string error;
    auto recorder =
        platform::session::RecordingOsPort::Create(world.Os(), file.string(), "test", error);
    ASSERT_TRUE(recorder) << error;
    ScriptedAppUi face;
    std::ostringstream unused;
    app::SessionAppUi ui(face, recorder.get(), nullptr, unused);
    TempBackups backups;
    device::BoardTable boards(*recorder);
    protocol::BoardProtocol protocol(boards, ui);
    app::TForm1 form(app::Services{*recorder, boards, protocol, ui, backups.store});
    form.FormCreate();

    // As if the power went off now: the file holds every call made so far.
    const auto during = platform::session::ParseSession(ReadFile(file), error);
    ASSERT_TRUE(during) << error;
    EXPECT_FALSE(during->complete);
    EXPECT_EQ(during->records.size(), recorder->Calls());
    EXPECT_GT(during->records.size(), 1000u);

    recorder->Finish();
    const auto after = platform::session::ParseSession(ReadFile(file), error);
    ASSERT_TRUE(after) << error;
    EXPECT_TRUE(after->complete);
    EXPECT_EQ(after->records.size(), during->records.size());
}

// The native build's scan under wine, as if its program had been a 32-bit one: the interface
// record's size is 28 bytes there and 32 here, and only that may differ.
TEST(SessionPointerSize, RecordSizesOfAnotherPointerSizeAreNotCompared) {
    std::string error;
    auto session =
        platform::session::LoadSession(FLASHWELL_SESSION_DIR "/wine-scan-no-board.fws", error);
    ASSERT_TRUE(session) << error;
    ASSERT_EQ(session->header.pointerSize, 8u);
    int enumerations = 0;
    for (auto& record : session->records)
        if (record.kind == CallKind::SetupDiEnumDeviceInterfaces) {
            ASSERT_EQ(record.request.numbers.at(5), 32u);
            record.request.numbers[5] = 28;
            ++enumerations;
        }
    ASSERT_EQ(enumerations, 4);

    const auto scan = [](const SessionContents& s) {
        platform::session::ReplayOsPort port(s);
        ScriptedAppUi face;
        std::ostringstream answered;
        app::SessionAppUi ui(face, nullptr, &port, answered);
        TempBackups backups;
        device::BoardTable boards(port);
        protocol::BoardProtocol protocol(boards, ui);
        app::TForm1 form(app::Services{port, boards, protocol, ui, backups.store});
        form.FormCreate();
        port.CheckFinished();
        return port.Message();
    };
    // Recorded by a 64-bit program, 28 is a different request.
    const std::string message = scan(*session);
    EXPECT_NE(message.find("SetupDiEnumDeviceInterfaces differs from the recording: record "
                           "size: recorded 28 (0x1C), program 32 (0x20)"),
              std::string::npos)
        << message;
    session->header.pointerSize = 4;
    EXPECT_EQ(scan(*session), "");
}
