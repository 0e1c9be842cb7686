// The record of every run on the disk: the log lines as the window shows them, the message
// boxes, and the debug lines the protocol writes for the system's debugger, each with the local
// time, appended to one file in the user's data folder. A technician can send it in; nothing of
// it is needed for the program to work, so a file that cannot be written costs one warning.
#pragma once

#include "app/app_ui.h"
#include "platform/forwarding_os_port.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

namespace flashwell::app {

class RunLog {
public:
    // Text of the local time for a line, e.g. "2026-12-09 12:30:01".
    using Clock = std::function<std::string()>;

    RunLog(std::filesystem::path file, std::string tool, Clock clock = {});
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // Whether lines reach the file (false once it could not be opened or written).
    bool Writing() const { return file_ != nullptr; }
    // Why the file could not be written, for the one warning.
    const std::string& Problem() const { return problem_; }

    void Begin(const std::string& what); // a header line for this program start
    void Line(const std::string& text);
    void Debug(const std::string& text);

private:
    void Write(const std::string& prefix, const std::string& text);

    std::filesystem::path path_;
    std::string tool_;
    Clock clock_;
    std::FILE* file_ = nullptr;
    std::string problem_;
};

// The face the window talks to, with every log line and message box also written to the log.
class LoggingUi final : public AppUi {
public:
    LoggingUi(AppUi& face, RunLog& log) : face_(face), log_(log) {}

    platform::MessageAnswer ShowMessage(platform::MessageKind kind, const std::string& title,
                                        const std::string& text,
                                        platform::MessageButtons buttons) override;
    void ProcessPendingMessages() override { face_.ProcessPendingMessages(); }
    void ShowSubIdDialog(TSubIDDialog& dialog) override;
    void ShowMainWindow(TForm1& form) override { face_.ShowMainWindow(form); }
    void LogAppended(const std::string& line) override {
        log_.Line(line);
        face_.LogAppended(line);
    }
    void RunStarted() override { face_.RunStarted(); }
    void RunEnded() override { face_.RunEnded(); }

private:
    AppUi& face_;
    RunLog& log_;
};

// The OS port the program runs on, with the debug lines also written to the log.
class DebugToLog final : public platform::ForwardingOsPort {
public:
    DebugToLog(platform::OsPort& inner, RunLog& log) : ForwardingOsPort(inner), log_(log) {}
    void OutputDebugStringA(const char* text) override {
        log_.Debug(text != nullptr ? text : "");
        Inner().OutputDebugStringA(text);
    }

private:
    RunLog& log_;
};

} // namespace flashwell::app
