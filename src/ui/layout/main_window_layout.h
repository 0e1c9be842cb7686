// The main window as the window faces build it: every control in the order it is made (which
// is also the tab order), what it is for, and what it sits in. Where a control stands, how big
// it is and what it says are the form's own (app/controls.h); a face walks this table and makes
// its native control for each role, so that both faces show one window.
#pragma once

#include "app/controls.h"

#include <cstddef>
#include <vector>

namespace flashwell::app {
class TForm1;
} // namespace flashwell::app

namespace flashwell::ui::layout {

enum class Role {
    Panel,       // a raised container (number: 0, 1, 2 from the top left)
    Frame,       // the captioned frame around the board lines
    BoardLine,   // a round choice of the board (number: its line, from 0)
    StepBox,     // a check box that chooses an update step (number: the box, from 1)
    AdvancedBox, // the check box that shows the rarer steps (number: the box, 5)
    Label,       // a line of text (number: the label, from 1)
    UpdateButton,
    InfoButton,
    QuitButton,
    ReadFlashButton,
    Log,       // the read-only log with a vertical scroll bar
    StatusBar, // the board, the two gauges and a spare panel
};

// Where no container holds a control: the window itself.
inline constexpr int kWindow = -1;

struct Item {
    Role role;
    app::Control* control;
    int number = 0;
    // The table index of the control it sits in, or kWindow.
    int parent = kWindow;
};

struct Point {
    int x = 0;
    int y = 0;
};

// The font the layout was made for: MS Sans Serif 8 points at 96 dpi.
struct LayoutFont {
    const char* face;
    int pixelHeight;
};
inline constexpr LayoutFont kLayoutFont{"MS Sans Serif", 11};

// The window has no room for more controls: what goes beyond the update is reached from a menu
// that leaves the controls as they are.
inline constexpr const char* kRestoreTitle = "Restore parameter block";

class MainWindowLayout {
public:
    explicit MainWindowLayout(app::TForm1& form);

    const std::vector<Item>& Items() const { return items_; }
    // The item that renders a control (nullptr if none does).
    const Item* Find(const app::Control& control) const;
    // Where an item sits relative to one of the containers around it (or the window).
    Point PositionIn(std::size_t index, int container) const;
    // The innermost panel around an item, or kWindow.
    int PanelAround(std::size_t index) const;
    // Whether an item lies somewhere inside a container.
    bool Inside(std::size_t index, int container) const;

private:
    std::vector<Item> items_;
};

// The roles a person can click.
bool TakesClicks(Role role);
// Labels without a width of their own take the width of their text.
bool FitsItsText(const Item& item);

// What a click on an item does to the form; true when it closes the window ("Quit" outside a run).
bool ClickClosesWindow(app::TForm1& form, const Item& item);

// The gauge drawn over a status panel (Gauge2 over panel 1, Gauge1 over panel 2), or nullptr.
const app::Gauge* GaugeOverPanel(const app::TForm1& form, std::size_t panel);

} // namespace flashwell::ui::layout
