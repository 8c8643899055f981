#pragma once
// The functions window: F0 to F28 of the throttle's locomotive in a compact
// grid, its emergency stop, and how F9 to F28 go out. A view only: it shows
// what it is told and reports the user's presses through its callbacks; the
// main dialog sends, keeps the state and tells it back.
//
// A click switches a function on or off. A right-click marks the function
// momentary (a horn, a coupler): it is then on while the button is held and
// off when it is let go; a second right-click takes the mark away. The marks
// belong to the loco shown: another address shows its own marks.
//
// A function on is shown pressed and filled amber with dark text, a colour
// that reads the same in light and dark themes.

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <map>

class QComboBox;
class QLabel;
class QPushButton;

class kvr_functions_wnd : public QWidget {
public:
    static constexpr int count = 29;  // F0..F28

    explicit kvr_functions_wnd(QWidget* parent = nullptr);

    // The user's actions.
    std::function<void(unsigned n, bool on)> on_function;
    std::function<void()> on_emergency_stop;
    std::function<void(bool opcodes)> on_send_mode;
    // The momentary marks of a loco changed (bit n: Fn momentary).
    std::function<void(int address, uint32_t marks)> on_marks;

    // What the window shows; none of these calls a callback.
    void show_loco(int address);
    void set_states(uint32_t on);  // bit n: Fn on
    uint32_t states() const;
    void set_send_mode(bool opcodes);
    bool send_mode_opcodes() const;

    bool momentary(unsigned n) const { return n < count && ((marks_of(address_) >> n) & 1) != 0; }
    // Marks `n` of the loco shown (and reports the change).
    void set_momentary(unsigned n, bool on);
    // The marks of every loco, as the settings keep them; no callback.
    void set_all_marks(const std::map<int, uint32_t>& marks);
    const std::map<int, uint32_t>& all_marks() const { return marks_; }

    QPushButton* function_button(unsigned n) const { return n < count ? buttons_[n] : nullptr; }
    QPushButton* stop_button() const { return stop_; }
    QComboBox* send_mode_box() const { return send_mode_; }

private:
    void clicked(unsigned n);
    void pressed(unsigned n);
    void released(unsigned n);

    std::array<QPushButton*, count> buttons_{};
    uint32_t marks_of(int address) const {
        const auto it = marks_.find(address);
        return it == marks_.end() ? 0 : it->second;
    }
    void show_marks();

    std::map<int, uint32_t> marks_;  // loco address -> momentary marks
    int address_ = 0;                // the loco shown, 0 none
    QLabel* loco_ = nullptr;
    QPushButton* stop_ = nullptr;
    QComboBox* send_mode_ = nullptr;
    uint32_t shown_ = 0;    // the states last told
    bool showing_ = false;  // set while the program changes the buttons
};
