#include "ui/kvr_dialog_template.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>

#include <array>

namespace {

using k = kvr_ctl_kind;

// Places without a given size use the size of their neighbours of the same
// kind: 24 x 10 for the short check and radio buttons, 10 x 10 for the bit
// boxes, 14 units for the height of a closed drop-down list.
constexpr std::array kMainControls = {
    kvr_ctl_def{kvr_idc_port, k::combo, "", 7, 7, 55, 14},
    kvr_ctl_def{kvr_idc_connect, k::button, "Connect Loconet", 66, 7, 81, 16},
    kvr_ctl_def{kvr_idc_power_on, k::button, "Power On", 158, 7, 50, 14},
    kvr_ctl_def{kvr_idc_power_off, k::button, "Power Off", 212, 7, 50, 14},
    kvr_ctl_def{kvr_idc_fast_clock, k::button, "FastClock", 284, 7, 50, 14},

    kvr_ctl_def{-1, k::group_box, "THROTTLE:", 7, 27, 430, 47},
    kvr_ctl_def{-1, k::label, "loco adrs:", 13, 42, 41, 8},
    kvr_ctl_def{kvr_idc_loco_adr, k::edit, "", 59, 39, 26, 14},
    kvr_ctl_def{kvr_idc_rev, k::radio, "Rev", 51, 61, 28, 10, true},
    kvr_ctl_def{kvr_idc_fwd, k::radio, "Fwd", 13, 60, 28, 10},
    kvr_ctl_def{kvr_idc_28step, k::radio, "28step", 96, 39, 40, 10, true},
    kvr_ctl_def{kvr_idc_128step, k::radio, "128step", 95, 56, 44, 10},
    kvr_ctl_def{kvr_idc_speed, k::edit, "", 146, 48, 20, 14},
    kvr_ctl_def{kvr_idc_slider, k::slider, "Slider1", 172, 41, 119, 25},
    kvr_ctl_def{kvr_idc_f0 + 0, k::check, "F0", 301, 43, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 1, k::check, "F1", 329, 43, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 2, k::check, "F2", 357, 43, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 3, k::check, "F3", 386, 43, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 4, k::check, "F4", 412, 43, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 5, k::check, "F5", 329, 57, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 6, k::check, "F6", 357, 57, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 7, k::check, "F7", 386, 57, 24, 10},
    kvr_ctl_def{kvr_idc_f0 + 8, k::check, "F8", 412, 57, 24, 10},

    kvr_ctl_def{-1, k::group_box, "SW:", 7, 79, 239, 66},
    kvr_ctl_def{-1, k::label, "SwAdr:", 16, 90, 25, 8},
    kvr_ctl_def{kvr_idc_sw_adr, k::edit, "", 43, 88, 26, 14},
    kvr_ctl_def{kvr_idc_thrown, k::radio, "Thrown/Red", 144, 89, 56, 10, true},
    kvr_ctl_def{kvr_idc_closed, k::radio, "Closed/Green", 78, 89, 64, 10},
    kvr_ctl_def{kvr_idc_sw_on, k::check, "on/off", 206, 92, 36, 8},
    kvr_ctl_def{kvr_idc_req_sw, k::button, "Req SW", 206, 108, 34, 27},
    kvr_ctl_def{-1, k::label, "DecoderAdr:", 15, 109, 45, 8},
    kvr_ctl_def{kvr_idc_dec_adr, k::edit, "", 42, 120, 26, 14},
    kvr_ctl_def{kvr_idc_out_1t + 0, k::radio, "1t", 82, 120, 24, 10, true},
    kvr_ctl_def{kvr_idc_out_1t + 1, k::radio, "1c", 82, 105, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 2, k::radio, "2t", 111, 121, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 3, k::radio, "2c", 111, 106, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 4, k::radio, "3t", 138, 120, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 5, k::radio, "3c", 138, 105, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 6, k::radio, "4t", 167, 121, 24, 10},
    kvr_ctl_def{kvr_idc_out_1t + 7, k::radio, "4c", 167, 106, 24, 10},

    kvr_ctl_def{-1, k::group_box, "PGM:", 252, 80, 185, 64},
    kvr_ctl_def{kvr_idc_paged, k::radio, "Paged", 261, 92, 36, 10, true},
    kvr_ctl_def{kvr_idc_direct, k::radio, "Direct", 261, 107, 40, 10},
    kvr_ctl_def{kvr_idc_ops, k::radio, "OPS", 262, 123, 28, 10},
    kvr_ctl_def{-1, k::label, "CV:    Value:", 306, 92, 55, 8},
    kvr_ctl_def{kvr_idc_cv, k::edit, "", 305, 109, 26, 14},
    kvr_ctl_def{kvr_idc_value, k::edit, "", 335, 109, 26, 14},
    kvr_ctl_def{kvr_idc_read, k::button, "READ", 366, 89, 27, 15},
    kvr_ctl_def{kvr_idc_write, k::button, "WRITE", 404, 89, 29, 15},
    kvr_ctl_def{-1, k::label, "hex", 379, 113, 13, 8},
    kvr_ctl_def{kvr_idc_hex, k::edit, "", 397, 110, 26, 14},
    kvr_ctl_def{-1, k::label, "bit", 294, 129, 13, 8},
    kvr_ctl_def{kvr_idc_bit0 + 7, k::check, "", 313, 129, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 6, k::check, "", 328, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 5, k::check, "", 343, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 4, k::check, "", 358, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 3, k::check, "", 373, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 2, k::check, "", 389, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 1, k::check, "", 404, 128, 10, 10},
    kvr_ctl_def{kvr_idc_bit0 + 0, k::check, "", 421, 128, 10, 10},

    kvr_ctl_def{kvr_idc_clear, k::button, "Clear Screen", 7, 149, 61, 14},
    kvr_ctl_def{kvr_idc_log_normal, k::radio, "log normal", 77, 149, 56, 10, true},
    kvr_ctl_def{kvr_idc_log_stack, k::radio, "log stack", 77, 162, 52, 10},
    kvr_ctl_def{kvr_idc_file_log, k::check, "FileLog", 15, 165, 44, 10},
    kvr_ctl_def{-1, k::label, "Free software, provided as is, without warranty.", 180, 159, 281, 8},
    kvr_ctl_def{-1, k::label, "LocoNet is a trademark of Digitrax, Inc.", 173, 146, 230, 8},
    kvr_ctl_def{kvr_idc_log, k::log_edit, "", 7, 179, 454, 151},
};

// Rounds half away from zero, as the dialog manager's MulDiv does.
int mul_div(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

}  // namespace

std::span<const kvr_ctl_def> kvr_main_dlg_controls() {
    return kMainControls;
}

QFont kvr_dialog_font(bool proportional) {
    QFont font(proportional ? QStringLiteral("IPAPGothic") : QStringLiteral("IPAGothic"));
    font.setPointSize(9);
    const QString family = QFontInfo(font).family();
    if (family.compare(font.family(), Qt::CaseInsensitive) == 0)
        return font;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(9);
    return fixed;
}

kvr_dialog_units::kvr_dialog_units(const QFont& font) {
    // The dialog manager's base units: the average width of the 52 letters
    // (rounded) and the cell height of the dialog font. The gothic fonts the
    // dialogs were drawn with have a cell exactly one em high (12 pixels at
    // 9 points and 96 dpi); IPAGothic, made to their widths, reports a line
    // of 12.9 pixels, which would make the window 42 pixels taller than
    // drawn, so for the IPA fonts the em is the cell.
    const QFontMetrics fm(font);
    const QFontInfo info(font);
    const int letters =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    base_x_ = std::max(1, (letters / 26 + 1) / 2);
    base_y_ = std::max(1, info.family().startsWith(QStringLiteral("IPA")) ? info.pixelSize() : fm.height());
}

int kvr_dialog_units::x(int du) const {
    return mul_div(du, base_x_, 4);
}

int kvr_dialog_units::y(int du) const {
    return mul_div(du, base_y_, 8);
}

QRect kvr_dialog_units::rect(int x, int y, int w, int h) const {
    return QRect(this->x(x), this->y(y), this->x(w), this->y(h));
}
