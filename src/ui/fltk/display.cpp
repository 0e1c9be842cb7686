// Kept apart from the window code: the X11 headers define Button1 to Button5 as macros.
#include "ui/fltk/fltk_ui.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace flashwell::ui {

bool FltkDisplayAvailable() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return false;
    Display* display = XOpenDisplay(name);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

} // namespace flashwell::ui
