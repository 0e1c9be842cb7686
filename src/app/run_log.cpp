#include "app/run_log.h"
#include "app/durable_file.h"

#include "app/subid_dialog.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace flashwell::app {

namespace {

std::string LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#ifdef _WIN32
    localtime_s(&parts, &now);
#else
    localtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// The core's texts use CR LF inside messages: one log line per text line keeps the file greppable.
std::string Flat(const std::string& text) {
    std::string flat;
    for (const char c : text) {
        if (c == '\r') continue;
        flat += c == '\n' ? std::string(" | ") : std::string(1, c);
    }
    return flat;
}

} // namespace

RunLog::RunLog(std::filesystem::path file, std::string tool, Clock clock)
    : path_(std::move(file)), tool_(std::move(tool)), clock_(clock ? std::move(clock) : LocalNow) {
    std::error_code ec;
    if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), ec);
    if (const int fault = DiskFault("log", "create"))
        errno = fault;
    else
        file_ = std::fopen(path_.string().c_str(), "ab");
    if (file_ == nullptr) problem_ = path_.string() + ": " + std::strerror(errno);
}

RunLog::~RunLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void RunLog::Write(const std::string& prefix, const std::string& text) {
    if (file_ == nullptr) return;
    const std::string line = clock_() + "  " + prefix + Flat(text) + "\n";
    // One write per line, flushed at once: a run that ends abruptly keeps every line before it.
    const int fault = DiskFault("log", "write");
    if (fault != 0) errno = fault;
    if (fault != 0 || std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
        std::fflush(file_) != 0) {
        problem_ = path_.string() + ": " + std::strerror(errno);
        std::fclose(file_);
        file_ = nullptr;
    }
}

void RunLog::Begin(const std::string& what) {
    Write("", "=== " + tool_ + ": " + what + " ===");
}

void RunLog::Line(const std::string& text) {
    Write("", text);
}

void RunLog::Debug(const std::string& text) {
    // Debug lines usually end with their own line break.
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    Write("debug: ", line);
}

platform::MessageAnswer LoggingUi::ShowMessage(platform::MessageKind kind, const std::string& title,
                                               const std::string& text,
                                               platform::MessageButtons buttons) {
    log_.Line("[box] " + title + ": " + text);
    const platform::MessageAnswer answer = face_.ShowMessage(kind, title, text, buttons);
    for (const ButtonChoice& choice : ButtonChoices(buttons))
        if (choice.answer == answer) log_.Line(std::string("[box] answered ") + choice.label);
    if (answer == platform::MessageAnswer::Closed) log_.Line("[box] closed");
    return answer;
}

void LoggingUi::ShowSubIdDialog(TSubIDDialog& dialog) {
    log_.Line("[dialog] " + dialog.Caption);
    face_.ShowSubIdDialog(dialog);
    log_.Line("[dialog] revision choice " + std::to_string(dialog.RevisionChoice));
}

} // namespace flashwell::app
