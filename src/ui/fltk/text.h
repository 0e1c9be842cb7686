// Texts between the core (Windows-1252, CR LF line breaks) and the toolkit (UTF-8, LF).
#pragma once

#include <string>

namespace flashwell::ui::fltk {

// Every Windows-1252 character, the 0x80-0x9F block included; CR is dropped so that CR LF
// becomes one line break.
std::string Utf8FromCp1252(const std::string& text);

// A caption for a button-like widget: the toolkit would read a leading '@' as a symbol.
std::string CaptionLabel(const std::string& cp1252);

} // namespace flashwell::ui::fltk
