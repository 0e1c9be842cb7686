#include "ui/layout/window_face.h"

#include "app/main_form.h"

#include <filesystem>
#include <system_error>

namespace flashwell::ui {

platform::MessageAnswer WindowFace::ShowMessage(platform::MessageKind kind,
                                                const std::string& title, const std::string& text,
                                                platform::MessageButtons buttons) {
    // The window behind the box shows what the core has done up to the question.
    Sync();
    const platform::MessageAnswer answer = RunMessageBox(kind, title, text, buttons);
    Sync();
    return answer;
}

void WindowFace::ProcessPendingMessages() {
    Sync();
    PassPendingMessages();
    if (onPendingMessages) onPendingMessages();
}

void WindowFace::ShowSubIdDialog(app::TSubIDDialog& dialog) {
    Sync();
    RunSubIdDialog(dialog);
    Sync();
}

void WindowFace::ShowMainWindow(app::TForm1& form) {
    form_ = &form;
    // Showing the window sizes it, and every sizing goes through the form's rule.
    form.FormResize();
    OpenMainWindow();
}

void WindowFace::LogAppended(const std::string& /*line*/) {
    Sync();
    PaintNow();
}

void WindowFace::RestoreFromCopy() {
    if (!MainWindowOpen() || form_ == nullptr || form_->Running()) return;
    app::TForm1& f = *form_;

    // The copies' own folder first; any other file can be reached from there.
    std::error_code ec;
    const std::filesystem::path folder = f.Backups().Folder();
    const std::string start = std::filesystem::is_directory(folder, ec) ? folder.string() : "";
    // The copy the scan named for this board is the one to restore.
    const auto named = f.NamedCopy();
    const std::optional<std::string> file = ChooseCopy(start, named ? named->string() : "");
    Sync();
    // The window may have gone while the chooser was open.
    if (!file || file->empty() || !MainWindowOpen()) return;

    f.RestoreFromFile(*file);
    Sync();
}

std::optional<std::size_t> WindowFace::AutoRevision() const {
    if (!options_.revision || *options_.revision < 0 || *options_.revision > 2) return std::nullopt;
    return static_cast<std::size_t>(*options_.revision);
}

} // namespace flashwell::ui
