#pragma once
// The main dialog and the about box as they were designed: every control with
// its id, text and place in dialog units. Dialog units scale with the dialog
// font: x by the font's average character width / 4, y by its height / 8.
//
// Example: with a 9-point gothic font at 96 dpi (6 x 12 pixel cells) the
// main dialog's 468 x 337 units are 702 x 506 pixels.

#include <QFont>
#include <QRect>
#include <QString>

#include <span>

enum class kvr_ctl_kind { combo, button, group_box, label, edit, radio, check, slider, log_edit };

struct kvr_ctl_def {
    int id;  // -1 for static texts and group boxes
    kvr_ctl_kind kind;
    const char* text;  // UTF-8
    int x, y, w, h;    // dialog units
    bool group_start = false;  // first button of a radio group
};

enum kvr_ctl_id : int {
    kvr_idc_connect = 1000,
    kvr_idc_port = 1001,
    kvr_idc_power_off = 1003,
    kvr_idc_power_on = 1004,
    kvr_idc_log = 1005,
    kvr_idc_write = 1011,
    kvr_idc_cv = 1012,
    kvr_idc_value = 1013,
    kvr_idc_read = 1014,
    kvr_idc_clear = 1015,
    kvr_idc_hex = 1016,
    kvr_idc_sw_on = 1020,
    kvr_idc_sw_adr = 1021,
    kvr_idc_req_sw = 1022,
    kvr_idc_dec_adr = 1023,
    kvr_idc_loco_adr = 1027,
    kvr_idc_slider = 1028,
    kvr_idc_28step = 1032,
    kvr_idc_128step = 1033,
    kvr_idc_speed = 1034,
    kvr_idc_rev = 1035,
    kvr_idc_fwd = 1036,
    kvr_idc_f0 = 1037,  // F0..F8: 1037..1045
    kvr_idc_file_log = 1046,
    kvr_idc_thrown = 1047,
    kvr_idc_closed = 1048,
    kvr_idc_out_1t = 1049,  // "1t", "1c", .. "4c": 1049..1056
    kvr_idc_paged = 1057,
    kvr_idc_direct = 1058,
    kvr_idc_ops = 1059,
    kvr_idc_bit0 = 1060,  // bit 0..7: 1060..1067
    kvr_idc_log_normal = 1070,
    kvr_idc_fast_clock = 1071,
    kvr_idc_log_stack = 1072,
    kvr_idc_adapter = 1073,  // the adapter kind, right of "FastClock"
};

// Texts of the system (UTF-8).
inline constexpr const char* kvr_txt_title = "Busprobe (v2.1)";
inline constexpr const char* kvr_txt_connect = "Connect Loconet↑";
inline constexpr const char* kvr_txt_close = "Close Loconet↓";
inline constexpr const char* kvr_txt_about_item = "Busprobe のﾊﾞｰｼﾞｮﾝ情報(&A)...";
inline constexpr const char* kvr_txt_about_title = "Busprobeのﾊﾞｰｼﾞｮﾝ情報";
inline constexpr const char* kvr_txt_about_version = "Busprobe Version 1.0";
// The notice of an action that would send while the link is not open.
inline constexpr const char* kvr_txt_not_connected = "Not connected: nothing was sent. Press Connect Loconet first.";

inline constexpr int kvr_main_dlg_w = 468;
inline constexpr int kvr_main_dlg_h = 337;
inline constexpr int kvr_about_dlg_w = 259;
inline constexpr int kvr_about_dlg_h = 57;

// Controls of the main dialog, in template order (which is also the tab and
// stacking order: a group box lies under the controls drawn on it).
std::span<const kvr_ctl_def> kvr_main_dlg_controls();

// The dialog font: IPAGothic 9 pt (proportional: IPAPGothic), made to the
// metrics of the gothic fonts the dialogs were drawn with; when missing, the
// system's fixed-pitch font at 9 pt.
QFont kvr_dialog_font(bool proportional = false);

class kvr_dialog_units {
public:
    explicit kvr_dialog_units(const QFont& font);
    int x(int du) const;
    int y(int du) const;
    QRect rect(int x, int y, int w, int h) const;

private:
    int base_x_;
    int base_y_;
};
