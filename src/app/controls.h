// Plain models of the window controls. Front ends render them and forward the user's clicks;
// the application changes only these models.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace flashwell::app {

struct Control {
    std::string name;
    std::string caption;
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool enabled = true;
    bool visible = true;
    // Radio buttons and check boxes.
    bool checked = false;
    // The child of which control it sits in (empty: the window).
    std::string parent;
};

inline Control MakeControl(const char* name, const char* parent, const char* caption, int left,
                           int top, int width = 0, int height = 0) {
    Control c;
    c.name = name;
    c.parent = parent;
    c.caption = caption;
    c.left = left;
    c.top = top;
    c.width = width;
    c.height = height;
    return c;
}

struct Gauge {
    std::string name;
    int minimum = 0;
    int maximum = 100;
    int position = 0;

    void SetRange(int min, int max) {
        minimum = min;
        maximum = max;
        position = std::clamp(position, minimum, std::max(minimum, maximum));
    }
    void SetPosition(int p) { position = std::clamp(p, minimum, std::max(minimum, maximum)); }
    // What the gauge shows as text.
    int Percent() const {
        if (maximum <= minimum) return 0;
        return static_cast<int>(100LL * (position - minimum) / (maximum - minimum));
    }
};

struct StatusPanel {
    int width = 0;
    std::string text;
    bool ownerDrawn = false;
    bool bevel = true;
};

struct Memo {
    Control control;
    std::vector<std::string> lines;
};

} // namespace flashwell::app
