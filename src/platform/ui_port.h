// What the core asks of the user interface, whichever front end renders it.
#pragma once

#include <string>

namespace flashwell::platform {

enum class MessageKind { Warning, Confirmation, Error, Plain };
enum class MessageButtons { Ok, OkCancel, YesNo, Cancel };
// Closed: the user closed the box through its title bar (or the front end had no answer).
enum class MessageAnswer { Ok, Cancel, Yes, No, Closed };

class UiPort {
public:
    virtual ~UiPort() = default;
    // Modal: returns when the user has answered. Texts are Windows-1252.
    virtual MessageAnswer ShowMessage(MessageKind kind, const std::string& title,
                                      const std::string& text, MessageButtons buttons) = 0;
    // One non-blocking pass over the pending window messages.
    virtual void ProcessPendingMessages() = 0;
};

inline constexpr const char* kApplicationTitle = "Flashwell";

} // namespace flashwell::platform
