#pragma once
// Moving values between a dialog's controls and its fields, one pass in one
// direction over an ordered list of entries, as the dialog was designed for:
//
//   saving (controls -> fields): entries are read in order; at the first
//   entry that is not an integer, or out of its range, the prompt is shown,
//   that control gets the focus with its text selected, and the pass stops.
//   Without a prompt (a quiet pass) the focus stays where it is.
//   Fields of earlier entries hold the new values, later ones their old ones.
//   A range check follows its text entry, so a number outside the range is
//   already stored when the check fails.
//
//   loading (fields -> controls): never fails. A text is only set when it
//   differs from the control's, so a control reports a change only when it
//   really changed.

#include <QString>

#include <functional>

class QAbstractButton;
class QButtonGroup;
class QLineEdit;
class QWidget;

using kvr_prompt_fn = std::function<void(const QString& text)>;

inline constexpr const char* kvr_txt_prompt_int = "Please enter an integer.";
// "Please enter an integer between %1 and %2."
QString kvr_range_prompt(int lo, int hi);

// An integer as the framework read it: blanks and tabs around an optional
// sign and decimal digits, nothing else, within the range of int.
bool kvr_parse_int(const QString& text, int& value);
// The "%x" conversion: optional blanks, sign and 0x prefix, hexadecimal
// digits. False (value untouched) when nothing converts.
bool kvr_scan_hex(const QString& text, int& value);

class kvr_data_exchange {
public:
    kvr_data_exchange(bool saving, kvr_prompt_fn prompt);

    bool failed() const { return failed_; }
    // The control at which the pass stopped, null while it has not failed.
    QWidget* failed_control() const { return failed_control_; }

    // Every entry does nothing once the pass has failed.
    void text_int(QLineEdit* edit, int& value);
    void range_int(QLineEdit* edit, int value, int lo, int hi);
    void text(QLineEdit* edit, QString& value);
    void check(QAbstractButton* box, int& value);
    // The index of the checked button (buttons carry their group index as
    // id), -1 when none is checked; loading -1 or an unknown index clears all.
    void radio(QButtonGroup* group, int& value);

private:
    void fail(QWidget* control, const QString& prompt);

    bool saving_;
    bool failed_ = false;
    QWidget* failed_control_ = nullptr;
    kvr_prompt_fn prompt_;
};
