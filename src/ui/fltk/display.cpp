// Kept apart from the window code: the X11 headers define Button1 to Button5 as macros.
#include "ui/fltk/fltk_ui.h"

#include <FL/x.H>

#include <cstdlib>

namespace flashwell::ui {

bool FltkDisplayAvailable() {
    if (fl_display != nullptr) return true;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    Display* display = XOpenDisplay(name);
    if (display == nullptr) return false;
    // The toolkit keeps this connection: closing it and opening another could meet a server
    // that resets when its last client leaves, and the toolkit ends the program when it cannot
    // open the display.
    fl_open_display(display);
    return true;
}

} // namespace flashwell::ui
