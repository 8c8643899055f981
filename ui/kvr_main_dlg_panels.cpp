// The panels of the main dialog: throttle, switch, programming, power and
// fast clock. Each handler starts with an exchange into the fields; a failed
// exchange shows its prompt and the handler goes on with the values the
// fields hold, except that an action sends nothing when the exchange stopped
// at a control whose value it uses (the field would hold an older value than
// the one shown).

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <mutex>
#include <optional>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_speed_slider.h"
#include "ui/kvr_wait_cursor.h"

namespace {

QString hex_text(int value) {
    return QString::asprintf("0x%02x", static_cast<unsigned>(value));
}

// The fields are ints typed by the user; the arithmetic of the decoder view
// must not overflow on absurd entries (results wrap like 32-bit ints).
int wrap_int(long long v) {
    return static_cast<int>(static_cast<uint32_t>(v));
}

}  // namespace

// ---- throttle ----

void kvr_main_dlg::queue_slider_check() {
    // Drawing happens often; one pending look at the position is enough.
    if (slider_check_queued_)
        return;
    slider_check_queued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            slider_check_queued_ = false;
            on_slider_drawn();
        },
        Qt::QueuedConnection);
}

void kvr_main_dlg::on_slider_drawn() {
    if (state_ != kvr_dlg_state::idle) {
        speed_pending_ = true;  // sent as the latest speed once idle
        return;
    }
    if (!link().is_open()) {
        // Once let go the handle goes back to the speed shown, with one
        // notice per move: the loco got nothing.
        if (slider_->value() != fields_.speed && !slider_->isSliderDown()) {
            slider_->setValue(fields_.speed);
            connected_or_say_so();
        }
        return;
    }
    // A redraw is no place for a prompt: it would come back with every
    // repaint while an entry is invalid. Without a prompt the user gets no
    // word of a stopped exchange, so a switch address that stopped it before
    // the loco address refuses as well: the slider drives the loco shown or
    // none, and the entries stay as typed.
    update_data(true, true);
    if (!saved_through(kvr_idc_speed) || !loco_address_ok(true)) {
        // Nothing was sent, so once let go the handle goes back to the speed
        // shown: it never shows a speed the loco did not get, and a redraw
        // after the address is mended does not start the loco unasked.
        if (!slider_->isSliderDown())
            slider_->setValue(fields_.speed);
        return;
    }
    const int position = slider_->value();
    if (position == fields_.speed)
        return;
    fields_.speed = position;
    edit(kvr_idc_speed)->setText(QString::number(position));
    send_speed(true);
}

void kvr_main_dlg::on_speed_changed() {
    update_data(true);
    const int top = fields_.step_mode == 1 ? 126 : 28;
    fields_.speed = std::clamp(fields_.speed, 0, top);
    slider_->setValue(fields_.speed);
    update_data(false);
}

void kvr_main_dlg::on_step_mode() {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    kvr_wait_cursor busy;
    const int before = fields_.step_mode;
    const bool usable = save_for({kvr_idc_loco_adr, kvr_idc_speed});
    if (fields_.step_mode != before) {
        slider_->setRange(0, fields_.step_mode == 1 ? 126 : 28);
        slider_->setValue(0);  // sends 0 when next drawn
    }
    if (usable)
        send_speed();
}

void kvr_main_dlg::send_speed(bool quiet) {
    if (!link().is_open() || !loco_address_ok(quiet))
        return;
    const auto address = static_cast<uint16_t>(fields_.loco_address);
    const auto direction = static_cast<uint16_t>(fields_.direction);
    const QString what = QStringLiteral("speed of loco %1").arg(fields_.loco_address);
    if (fields_.step_mode == 1) {
        const auto speed = static_cast<uint16_t>(std::clamp(fields_.speed, 0, int{kvr_proto::spd_max}));
        run_op(what, [&] { station_->do_128step(address, direction, speed); });
    } else {
        // Right after a change from 128 steps the field may hold more than
        // 28, which the 28-step encoding cannot carry.
        const auto speed = static_cast<int16_t>(std::clamp(fields_.speed, 0, int{kvr_proto::speed_28_max}));
        run_op(what, [&] { station_->do_28step(address, direction, speed); });
    }
}

void kvr_main_dlg::on_direction() {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    kvr_wait_cursor busy;
    const int before = fields_.direction;
    if (!save_for({kvr_idc_loco_adr}) || fields_.direction == before || !loco_address_ok())
        return;
    const auto address = static_cast<uint16_t>(fields_.loco_address);
    const auto direction = static_cast<uint16_t>(fields_.direction);
    run_op(QStringLiteral("direction of loco %1").arg(fields_.loco_address),
           [&] { station_->do_change_dir(address, direction); });
}

void kvr_main_dlg::on_function_grp1() {
    send_functions(0, kvr_proto::dirf_function_last, &kvr_dccx::do_function_grp1);
}

void kvr_main_dlg::on_function_grp2() {
    send_functions(kvr_proto::dirf_function_last + 1, kvr_proto::slot_function_max, &kvr_dccx::do_function_grp2);
}

void kvr_main_dlg::send_functions(unsigned first, unsigned last, void (kvr_dccx::*send)(uint16_t, uint8_t)) {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    if (!save_for({kvr_idc_loco_adr}) || !loco_address_ok())
        return;
    uint8_t bits = 0;
    for (unsigned i = first; i <= last; ++i)
        bits = kvr_proto::with_function(bits, i, fields_.f[i] != 0);
    const auto address = static_cast<uint16_t>(fields_.loco_address);
    run_op(QStringLiteral("functions of loco %1").arg(fields_.loco_address),
           [&] { (station_.get()->*send)(address, bits); });
}

void kvr_main_dlg::show_throttle_fields() {
    const kvr_dlg_state outer = state_;
    state_ = kvr_dlg_state::exchanging;
    kvr_data_exchange dx(false, {});
    dx.radio(direction_, fields_.direction);
    dx.radio(step_mode_, fields_.step_mode);
    for (int i = 0; i < 9; ++i)
        dx.check(check(kvr_idc_f0 + i), fields_.f[i]);
    state_ = outer;
    show_functions_state();
}

namespace {

// The slider position of a slot's SPD: 128 steps as they are (the slider
// ends at 126), 28 steps as the step whose scaled speed (step * 127 / 28)
// it is, rounded up.
int speed_position(uint8_t spd, int step_mode) {
    // SPD 1 is the emergency stop: the loco stands.
    if (spd == 1)
        return 0;
    if (step_mode == 1)
        return std::min<int>(spd, 126);
    constexpr int top = kvr_proto::spd_max;
    return (spd * int{kvr_proto::speed_28_max} + top - 1) / top;
}

}  // namespace

void kvr_main_dlg::follow_loco() {
    if (state_ != kvr_dlg_state::idle || !link().is_open())
        return;
    // Only the loco the entry shows and the fields hold: while the user
    // types another address, nothing is changed under their hands.
    int shown = 0;
    if (!kvr_parse_int(edit(kvr_idc_loco_adr)->text(), shown) || shown != fields_.loco_address ||
        !kvr_proto::is_loco_address(shown))
        return;
    if (!station_loconet_)
        return;
    const std::optional<kvr_loconet_msg> slot =
        station_loconet_->with_stores([shown](const kvr_reply_stores& st) -> std::optional<kvr_loconet_msg> {
            const uint16_t n = st.slot_of_address(static_cast<uint16_t>(shown));
            if (n == 0xFFFF)
                return std::nullopt;
            return st.slot_data(static_cast<uint8_t>(n));
        });
    if (!slot || slot->slot_address() != shown)
        return;
    const uint8_t dirf = slot->dirf();
    const uint8_t snd = slot->snd();
    fields_.direction = slot->direction();
    for (unsigned i = 0; i <= kvr_proto::slot_function_max; ++i)
        fields_.f[i] = kvr_proto::function_on(dirf, snd, i) ? 1 : 0;
    show_throttle_fields();
    if (slider_->isSliderDown())
        return;  // the user's hand wins; the next move sends
    const int position = speed_position((*slot)[kvr_proto::slot_spd], fields_.step_mode);
    if (position == fields_.speed)
        return;
    // Field first: the slider drawn at the new place then sends nothing.
    fields_.speed = position;
    state_ = kvr_dlg_state::exchanging;
    edit(kvr_idc_speed)->setText(QString::number(position));
    slider_->setValue(position);
    state_ = kvr_dlg_state::idle;
}

// ---- switch ----
//
// Accessory decoder n serves switch addresses 4n-3..4n; its outputs "kt" and
// "kc" (k = 1..4) are switch 4n-4+k thrown and closed. Division and
// remainder truncate toward zero, so "no output" (-1) gives position -1.

void kvr_main_dlg::on_switch_address_changed() {
    update_data(true);
    const long long address = fields_.switch_address;
    fields_.decoder_address = wrap_int((address - 1) / 4 + 1);
    fields_.decoder_output = wrap_int(fields_.switch_position + 2 * ((address - 1) % 4));
    update_data(false);
}

void kvr_main_dlg::on_decoder_changed() {
    update_data(true);
    const long long output = fields_.decoder_output;
    fields_.switch_address = wrap_int(output / 2 + 4LL * fields_.decoder_address - 3);
    fields_.switch_position = static_cast<int>(output % 2);
    update_data(false);
}

void kvr_main_dlg::on_req_sw() {
    if (!connected_or_say_so())
        return;
    // A refused switch address would otherwise go out as some other turnout;
    // a bad entry in another panel is no reason to refuse.
    if (!save_for({kvr_idc_sw_adr, kvr_idc_dec_adr}))
        return;
    kvr_wait_cursor busy;
    const auto number = static_cast<uint16_t>(fields_.switch_address);
    const auto position = static_cast<uint16_t>(fields_.switch_position);
    const bool on = fields_.switch_on != 0;
    run_op(QStringLiteral("switch %1").arg(fields_.switch_address),
           [&] { station_->do_sw(number, position, on); });
}

// ---- programming ----

void kvr_main_dlg::on_prog_mode() {
    update_data(true);
    if (fields_.prog_mode >= 0 && fields_.prog_mode <= 2)
        button(kvr_idc_read)->setEnabled(fields_.prog_mode != 2);
}

void kvr_main_dlg::on_value_changed() {
    update_data(true);
    fields_.hex = hex_text(fields_.value);
    bits_.set(fields_.value);
    update_data(false);
}

void kvr_main_dlg::on_hex_changed() {
    update_data(true);
    kvr_scan_hex(fields_.hex, fields_.value);  // text that does not convert keeps the value
    bits_.set(fields_.value);
    update_data(false);
}

void kvr_main_dlg::on_bit_clicked() {
    update_data(true);
    fields_.value = bits_.get();
    fields_.hex = hex_text(fields_.value);
    update_data(false);
}

void kvr_main_dlg::on_read() {
    // With the link closed nobody could answer; the read would wait forever.
    if (!connected_or_say_so())
        return;
    // A refused CV entry, or one the exchange did not reach, would read the
    // old CV while the window shows another.
    update_data(true);
    if (!saved_through(kvr_idc_cv))
        return;
    kvr_wait_cursor busy;
    const auto cv = static_cast<uint32_t>(fields_.cv);
    uint16_t result = 0;
    bool have = false;
    if (fields_.prog_mode == 0) {
        run_op(QStringLiteral("reading CV %1 (paged)").arg(fields_.cv), [&] {
            result = station_->do_paged_read(cv);
            have = true;
        });
    } else if (fields_.prog_mode == 1) {
        run_op(QStringLiteral("reading CV %1 (direct)").arg(fields_.cv), [&] {
            result = station_->do_direct_read(cv);
            have = true;
        });
    }
    if (have)
        fields_.value = static_cast<int16_t>(result);
    fields_.hex = hex_text(fields_.value);
    bits_.set(fields_.value);
    update_data(false);
}

void kvr_main_dlg::on_write() {
    if (!connected_or_say_so())
        return;
    // A write goes only with the values shown: not after a refused entry,
    // and not with a value that does not fit in a CV (its low eight bits
    // would be written instead).
    if (!update_data(true))
        return;
    if (fields_.value < 0 || fields_.value > 255) {
        if (prompt_)
            prompt_(kvr_range_prompt(0, 255));
        edit(kvr_idc_value)->setFocus(Qt::OtherFocusReason);
        edit(kvr_idc_value)->selectAll();
        return;
    }
    if (fields_.prog_mode == 2 && !loco_address_ok())
        return;
    kvr_wait_cursor busy;
    const auto cv = static_cast<uint32_t>(fields_.cv);
    const auto value = static_cast<uint8_t>(fields_.value);
    const auto address = static_cast<uint16_t>(fields_.loco_address);
    const QString what = QStringLiteral("writing CV %1").arg(fields_.cv);
    switch (fields_.prog_mode) {
    case 0:
        run_op(what + QStringLiteral(" (paged)"), [&] { station_->do_paged_write(cv, value); });
        break;
    case 1:
        run_op(what + QStringLiteral(" (direct)"), [&] { station_->do_direct_write(cv, value); });
        break;
    case 2:
        run_op(what + QStringLiteral(" of loco %1 (on the main)").arg(fields_.loco_address),
               [&] { station_->do_ops_write(address, cv, value, false); });
        break;
    default:
        break;
    }
}

// ---- power and fast clock ----

void kvr_main_dlg::on_power_on() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    run_op(QStringLiteral("track power on"), [&] { station_->do_startup(); });
}

void kvr_main_dlg::on_power_off() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    run_op(QStringLiteral("track power off"), [&] { station_->do_shutdown(0); });
}

void kvr_main_dlg::on_fast_clock() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    if (!station_loconet_)
        return;
    run_op(QStringLiteral("the fast clock"), [&] { station_loconet_->send_req_sl_data(kvr_slot_fast_clock); });
}
