#include "ui/console/console_ui.h"

#include "app/main_form.h"
#include "app/update_step_table.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <sstream>

namespace flashwell::ui {

namespace {

const char* KindName(platform::MessageKind kind) {
    switch (kind) {
    case platform::MessageKind::Warning:
        return "Warning";
    case platform::MessageKind::Confirmation:
        return "Question";
    case platform::MessageKind::Error:
        return "Error";
    case platform::MessageKind::Plain:
        return "Message";
    }
    return "Message";
}

} // namespace

std::string FramedMessage(platform::MessageKind kind, const std::string& title,
                          const std::string& text, platform::MessageButtons buttons) {
    std::ostringstream out;
    out << "+-- " << KindName(kind) << ": " << Cp1252ToUtf8(title) << '\n';
    std::istringstream lines(Cp1252ToUtf8(text));
    for (std::string l; std::getline(lines, l);)
        out << "| " << l << '\n';
    out << "+-- ";
    const std::vector<app::ButtonChoice> choices = app::ButtonChoices(buttons);
    for (std::size_t i = 0; i < choices.size(); ++i)
        out << (i ? " / " : "") << "[" << choices[i].label << "]";
    out << '\n';
    return out.str();
}

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string Bar(int percent, int width) {
    const int filled = percent * width / 100;
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar += ']';
    return bar;
}

} // namespace

std::string Cp1252ToUtf8(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') continue; // line breaks are CR LF in the core's texts
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c >= 0xA0) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back('?');
        }
    }
    return out;
}

ConsoleUi::ConsoleUi(std::istream& in, std::ostream& out, ConsoleOptions options)
    : in_(in), out_(out), options_(options) {}

void ConsoleUi::ShowMainWindow(app::TForm1& form) {
    form_ = &form;
    out_ << "== " << form.Caption << " ==\n";
    out_.flush();
}

void ConsoleUi::RunStarted() {
    announced_ = false;
    guard_.emplace();
}

void ConsoleUi::CheckInterrupt() {
    if (!guard_ || announced_ || !guard_->Requested()) return;
    announced_ = true;
    EndProgressLine();
    out_ << "Interrupt received: the update goes on to its end, as stopping in the middle of a "
            "write could leave the board unusable. The program stops after the run.\n";
    out_.flush();
}

void ConsoleUi::RunEnded() {
    CheckInterrupt();
    if (guard_) interrupted_ = guard_->Consume() || announced_;
    guard_.reset();
}

void ConsoleUi::EndProgressLine() {
    if (progressOpen_) {
        out_ << '\n';
        progressOpen_ = false;
        lastShownLength_ = 0;
    }
}

void ConsoleUi::LogAppended(const std::string& line) {
    EndProgressLine();
    out_ << Cp1252ToUtf8(line) << '\n';
    out_.flush();
}

std::string ConsoleUi::ReadLine() {
    std::string line;
    if (!std::getline(in_, line)) return {};
    return line;
}

platform::MessageAnswer ConsoleUi::ShowMessage(platform::MessageKind kind, const std::string& title,
                                               const std::string& text,
                                               platform::MessageButtons buttons) {
    EndProgressLine();
    const std::vector<app::ButtonChoice> choices = app::ButtonChoices(buttons);
    out_ << FramedMessage(kind, title, text, buttons);

    platform::MessageAnswer answer = platform::MessageAnswer::Closed;
    if (options_.yes) {
        answer = choices.front().answer;
        out_ << "> " << choices.front().label << '\n';
    } else {
        for (;;) {
            out_ << "> " << std::flush;
            const std::string reply = Lower(ReadLine());
            if (!in_) {
                out_ << '\n';
                break; // end of input closes the box
            }
            // A box with one button has nothing to choose: Enter acknowledges it.
            if (reply.empty() && choices.size() == 1) {
                answer = choices.front().answer;
                break;
            }
            bool matched = false;
            for (const app::ButtonChoice& c : choices) {
                const std::string label = Lower(c.label);
                // No default: a stray Enter must never start a flash.
                if (!reply.empty() && (reply == label || label.rfind(reply, 0) == 0)) {
                    answer = c.answer;
                    matched = true;
                    break;
                }
            }
            if (matched) break;
            out_ << "Please answer with one of the buttons:";
            for (const app::ButtonChoice& c : choices)
                out_ << ' ' << Lower(c.label);
            out_ << " (the first letters are enough).\n";
        }
    }
    out_.flush();
    return answer;
}

void ConsoleUi::ShowSubIdDialog(app::TSubIDDialog& dialog) {
    EndProgressLine();
    out_ << "+-- " << dialog.Caption << '\n';
    for (const app::Control* l :
         {&dialog.Label1, &dialog.Label2, &dialog.Label3, &dialog.Label4, &dialog.Label5})
        out_ << "| " << l->caption << '\n';
    const app::Control* radios[] = {&dialog.RadioButton1, &dialog.RadioButton2,
                                    &dialog.RadioButton3};
    for (int i = 0; i < 3; ++i)
        out_ << "|  " << (radios[i]->checked ? "(*) " : "( ) ") << (i + 1) << ". "
             << radios[i]->caption << '\n';
    out_ << "+-- [Accept] / [Cancel]\n";

    if (options_.revision) {
        if (*options_.revision < 0) {
            out_ << "> Cancel\n";
            dialog.Button2Click();
        } else {
            dialog.SelectRevision(*options_.revision);
            out_ << "> " << radios[*options_.revision]->caption << ", Accept\n";
            dialog.Button1Click();
        }
        return;
    }
    if (options_.yes) {
        // Which FPGA image fits a board is the one question --yes must not guess: a wrong one
        // leaves the board without a working FPGA.
        out_ << "> Cancel: --yes does not choose a board's revision; give --revision 1.1, 1.2, "
                "1.3 or cancel\n";
        dialog.Button2Click();
        return;
    }
    for (;;) {
        out_ << "Revision 1, 2 or 3 to accept, c to cancel> " << std::flush;
        const std::string reply = Lower(ReadLine());
        if (!in_) {
            out_ << '\n'; // the prompt's line is closed before anything else is printed
            return;       // closed through its close box: nothing is set
        }
        if (reply == "1" || reply == "2" || reply == "3") {
            dialog.SelectRevision(reply[0] - '1');
            dialog.Button1Click();
            return;
        }
        if (reply == "c" || reply == "cancel") {
            dialog.Button2Click();
            return;
        }
    }
}

void ConsoleUi::ProcessPendingMessages() {
    CheckInterrupt();
    if (form_ == nullptr) return;
    const int step = form_->Gauge2.Percent();
    const int overall = form_->Gauge1.Percent();
    std::string line = "  step " + Bar(step, 20) + " " + std::to_string(step) + "%  overall " +
                       Bar(overall, 20) + " " + std::to_string(overall) + "%  elapsed " +
                       form_->Label4.caption + "  estimated " +
                       // Until the overall gauge moves the window keeps the last estimate,
                       // which is below the time already spent.
                       (overall > 0 ? form_->Label3.caption : std::string("--:--:--"));
    if (line == lastProgress_) return;
    lastProgress_ = line;
    if (options_.interactive) {
        // Blanks over whatever a longer earlier line left behind.
        const std::size_t shown = line.size();
        if (line.size() < lastShownLength_) line.append(lastShownLength_ - line.size(), ' ');
        lastShownLength_ = shown;
        out_ << '\r' << line << std::flush;
        progressOpen_ = true;
        return;
    }
    // Without a terminal a line per tenth of the step keeps the output readable.
    if (step / 10 == lastStepDecile_ && overall == lastOverall_) return;
    lastStepDecile_ = step / 10;
    lastOverall_ = overall;
    out_ << line << '\n';
}

void ConsoleUi::ShowBoardLines() {
    if (form_ == nullptr) return;
    EndProgressLine();
    out_ << "Boards:\n";
    for (int i = 0; i < 4; ++i) {
        const app::Control& line = *form_->RadioButtons[static_cast<std::size_t>(i)];
        out_ << "  " << (line.checked ? "(*) " : "( ) ") << i << ": " << Cp1252ToUtf8(line.caption)
             << (line.enabled ? "" : "  [not selectable]") << '\n';
    }
    out_ << form_->StatusPanels[0].text << '\n';
    out_.flush();
}

void ConsoleUi::RunCommandLoop() {
    if (form_ == nullptr) return;
    const auto help = [&] {
        out_ << "Commands: u = Update, i = Info, a = Advanced, b N = select board N, "
                "s = show step boxes, t N = tick/untick step box N (1-"
             << app::kUpdateSteps.size()
             << "), l = list saved parameter blocks, r FILE = restore one onto the selected "
                "board, q = Quit\n";
    };
    ShowBoardLines();
    help();
    for (;;) {
        out_ << "flashwell> " << std::flush;
        std::string line = ReadLine();
        if (!in_) {
            out_ << '\n';
            line = std::string(1, 'q'); // end of input quits
        }
        std::istringstream words(line);
        std::string command;
        words >> command;
        command = Lower(command);
        if (command == "q" || command == "quit") {
            if (form_->Button3Click()) return;
            out_ << "A run is in progress.\n";
        } else if (command == "u" || command == "update") {
            form_->Button1Click();
            if (interrupted_) return;
        } else if (command == "i" || command == "info") {
            form_->Button2Click();
        } else if (command == "a" || command == "advanced") {
            form_->ToggleAdvanced();
            out_ << "Advanced " << (form_->CheckBox5.checked ? "on" : "off") << '\n';
        } else if (command == "b" || command == "board") {
            int n = -1;
            words >> n;
            if (n >= 0 && n <= 3 && form_->RadioButtons[static_cast<std::size_t>(n)]->enabled)
                form_->SelectBoardLine(n);
            else
                out_ << "That board line cannot be selected.\n";
            ShowBoardLines();
        } else if (command == "l" || command == "list") {
            auto copies = form_->Backups().List();
            out_ << "Saved parameter blocks in " << form_->Backups().Folder().string() << ": "
                 << copies.size() << '\n';
            // The copy the scan named comes first: it is the one to restore.
            const auto named = form_->NamedCopy();
            std::stable_partition(copies.begin(), copies.end(), [&](const app::BlockBackup& c) {
                return named && c.path == *named;
            });
            for (const app::BlockBackup& copy : copies)
                out_ << "  " << app::BackupSummaryLine(copy)
                     << (named && copy.path == *named ? "  <- restore this one (r)" : "") << '\n';
        } else if (command == "r" || command == "restore") {
            std::string file;
            std::getline(words >> std::ws, file);
            if (const auto named = form_->NamedCopy(); file.empty() && named)
                file = named->string();
            std::string error;
            const auto copy = app::ReadBackupFile(file, error);
            if (!copy) {
                out_ << (file.empty() ? "Name the file: r FILE (l lists the saved blocks)." : error)
                     << '\n';
            } else {
                out_ << app::DescribeBackup(*copy);
                form_->RestoreFlashData(*copy);
                if (interrupted_) return;
            }
        } else if (command == "s" || command == "t") {
            const auto box = [&](std::size_t i) -> app::Control& {
                return form_->StepBox(app::kUpdateSteps[i]);
            };
            const std::size_t count = app::kUpdateSteps.size();
            if (command == "t") {
                std::size_t n = 0;
                words >> n;
                if (!form_->CheckBox5.checked)
                    out_ << "The step boxes are in the Advanced view (a).\n";
                else if (n >= 1 && n <= count)
                    form_->SetStepBox(box(n - 1), !box(n - 1).checked);
            }
            for (std::size_t i = 0; i < count; ++i)
                out_ << "  " << (i + 1) << ". [" << (box(i).checked ? 'x' : ' ') << "] "
                     << box(i).caption << '\n';
        } else if (!command.empty()) {
            help();
        }
    }
}

} // namespace flashwell::ui
