// The terminal face against a simulated board: Ctrl-C in the middle of a flash write, prompts
// without defaults, progress lines that leave nothing behind.
#include "app/main_form.h"
#include "sim/scenario/scenario.h"
#include "sim/sim_world.h"
#include "testkit/temp_data_folder.h"
#include "ui/console/console_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <pthread.h>
#include <sstream>

namespace {

using namespace flashwell;

struct ConsoleWorld {
    explicit ConsoleWorld(const std::string& input, ui::ConsoleOptions options = {},
                          std::int32_t subId = 3)
        : in(input), console(in, out, options) {
        sim::Scenario scenario = sim::DefaultScenario();
        scenario.boards[0].subId = subId;
        sim::ApplyScenario(world, scenario);
    }
    app::TForm1& Start() {
        form = std::make_unique<app::TForm1>(
            app::Services{world.Os(), boards, protocol, console, backups.store});
        form->FormCreate();
        return *form;
    }

    flashwell::testing::TempBackups backups;
    sim::SimWorld world;
    device::BoardTable boards{world.Os()};
    std::istringstream in;
    std::ostringstream out;
    ui::ConsoleUi console;
    protocol::BoardProtocol protocol{boards, console};
    std::unique_ptr<app::TForm1> form;
};

ui::ConsoleOptions Options(bool yes, bool interactive = false) {
    ui::ConsoleOptions options;
    options.yes = yes;
    options.interactive = interactive;
    return options;
}

bool Blocked(int signal) {
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal) == 1;
}

// Ctrl-C in the middle of the KPCI write: the run goes on to every image and its final
// message, the user is told so once, and the request is kept for the program to stop on.
TEST(ConsoleInterrupt, CtrlCDuringAFlashWriteLetsTheRunFinish) {
    for (const int signal : {SIGINT, SIGTERM}) {
        ConsoleWorld w("", Options(true));
        app::TForm1& form = w.Start();
        int raised = 0;
        w.world.Windows().SetIoControlObserver([&](std::uint64_t, platform::DWORD) {
            const auto& lines = form.Memo1.lines;
            if (raised < 2 && !lines.empty() && lines.back() == "   Write data") {
                ++raised;
                ::raise(signal); // held back: the process would end here otherwise
            }
        });
        form.Button1Click();
        w.world.Windows().SetIoControlObserver(nullptr);

        EXPECT_EQ(raised, 2);
        EXPECT_EQ(form.LastOutcome, app::RunOutcome::Succeeded);
        const std::string out = w.out.str();
        const std::size_t notice = out.find("Interrupt received: the update goes on to its end");
        ASSERT_NE(notice, std::string::npos) << out;
        EXPECT_EQ(out.find("Interrupt received", notice + 1), std::string::npos) << "said once";
        EXPECT_LT(notice, out.find("*** Update Bootprogram ***"));
        EXPECT_NE(out.find("Update successfully ended"), std::string::npos);
        EXPECT_TRUE(w.console.InterruptRequested());
        // Out of the run, Ctrl-C works as always again.
        EXPECT_FALSE(Blocked(SIGINT));
        EXPECT_FALSE(Blocked(SIGTERM));
    }
}

TEST(ConsoleInterrupt, QuietRunLeavesNoRequest) {
    ConsoleWorld w("", Options(true));
    app::TForm1& form = w.Start();
    form.Button1Click();
    EXPECT_EQ(form.LastOutcome, app::RunOutcome::Succeeded);
    EXPECT_FALSE(w.console.InterruptRequested());
    EXPECT_EQ(w.out.str().find("Interrupt received"), std::string::npos);
    EXPECT_FALSE(Blocked(SIGINT));
}

// A bare Enter at the warning must not start the flash; the prompt asks again until a button
// is named, and the end of input is Cancel.
TEST(ConsolePrompts, WarningNeedsAnExplicitAnswer) {
    {
        ConsoleWorld w("\n\n");
        app::TForm1& form = w.Start();
        form.Button1Click();
        EXPECT_EQ(form.LastOutcome, app::RunOutcome::Cancelled);
        EXPECT_NE(w.out.str().find("Please answer with one of the buttons: ok cancel"),
                  std::string::npos);
        EXPECT_EQ(w.out.str().find("*** UpdateFlashData ***"), std::string::npos);
    }
    {
        ConsoleWorld w("\nok\n\n");
        app::TForm1& form = w.Start();
        form.Button1Click();
        EXPECT_NE(w.out.str().find("*** UpdateFlashData ***"), std::string::npos);
        // A box with one button has nothing to choose: the last Enter acknowledged it.
        EXPECT_EQ(w.out.str().find("buttons: ok (the first"), std::string::npos) << w.out.str();
    }
}

// --yes answers every box but never picks an FPGA image for a board whose SubID is unknown:
// the dialog is cancelled, with a line saying how to choose.
TEST(ConsolePrompts, YesDoesNotGuessTheRevision) {
    ConsoleWorld w("", Options(true), 0);
    app::TForm1& form = w.Start();
    form.Button1Click();
    const std::string out = w.out.str();
    EXPECT_NE(out.find("> Cancel: --yes does not choose a board's revision; give --revision"),
              std::string::npos)
        << out;
    EXPECT_EQ(form.SubIDDialog.RevisionChoice, -1);
    EXPECT_EQ(form.LastOutcome, app::RunOutcome::Failed);
    EXPECT_NE(out.find("Error occured during RBF - Cancelling actions"), std::string::npos);
}

// On a terminal the progress line is rewritten in place: a shorter line must blank the rest
// of the longer one it replaces.
TEST(ConsoleProgress, ShorterLineBlanksWhatTheLongerLeft) {
    ConsoleWorld w("", Options(true, true));
    app::TForm1& form = w.Start();
    form.Button1Click();
    const std::string out = w.out.str();
    std::size_t previous = 0;
    std::size_t rewrites = 0;
    for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        const std::size_t end = out.find_first_of("\r\n", at + 1);
        const std::size_t length = (end == std::string::npos ? out.size() : end) - at - 1;
        if (previous != 0 && out[at - 1] != '\n') {
            EXPECT_GE(length, previous) << "a rewrite left characters of the line before";
            ++rewrites;
        }
        previous = length;
    }
    EXPECT_GT(rewrites, 10u);
}

} // namespace
