// The panels of the main dialog: throttle, switch, programming, power and
// fast clock. Each handler starts with an exchange into the fields; a failed
// exchange shows its prompt and the handler goes on with the values the
// fields hold, except that an action sends nothing when the exchange stopped
// at a control whose value it uses (the field would hold an older value than
// the one shown).

#include <QButtonGroup>
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
//
// The controls are mapped onto the throttle (station/kvr_throttle.h), which
// drives the loco entered in the address box: Enter (or a double-click in
// the Slots window) reads its slot and takes it, and the controls show what
// the slot says. A control used while another address stands typed in the
// box takes that loco first and sends nothing else: what the screen showed
// was not that loco's.

namespace {

// F9..F28 as the window's bus state knows them for each loco (fed on the
// GUI thread, forgotten on every open).
class window_function_memory : public kvr_function_memory {
public:
    explicit window_function_memory(kvr_bus_state& bus) : bus_(bus) {}
    uint32_t functions(uint16_t address) const override { return bus_.functions(address); }
    void note_sent_functions(uint16_t address, uint32_t mask, uint32_t bits) override {
        bus_.note_sent_functions(address, mask, bits);
    }

private:
    kvr_bus_state& bus_;
};

int slider_top(int steps) {
    return steps == 128 ? 126 : steps;
}

}  // namespace

std::unique_ptr<kvr_function_memory> kvr_main_dlg::make_function_memory() {
    return std::make_unique<window_function_memory>(bus_);
}

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
    const int position = slider_->value();
    if (position == fields_.speed)
        return;
    if (!link().is_open()) {
        // Once let go the handle goes back to the speed shown, with one
        // notice per move: the loco got nothing.
        if (!slider_->isSliderDown()) {
            slider_->setValue(fields_.speed);
            connected_or_say_so();
        }
        return;
    }
    // A redraw is no place for a prompt: it would come back with every
    // repaint while an entry is invalid. Nothing sent, the handle goes back
    // to the speed shown once let go: it never shows a speed the loco did
    // not get.
    if (!driving_entered(true)) {
        if (!slider_->isSliderDown())
            slider_->setValue(fields_.speed);
        return;
    }
    fields_.speed = position;
    state_ = kvr_dlg_state::exchanging;
    edit(kvr_idc_speed)->setText(QString::number(position));
    state_ = kvr_dlg_state::idle;
    run_op(QStringLiteral("speed of loco %1").arg(fields_.loco_address), [&] { throttle_->set_speed(position); });
}

// Typing moves the slider to the speed typed; Enter sends it.
void kvr_main_dlg::on_speed_changed() {
    update_data(true);
    fields_.speed = std::clamp(fields_.speed, 0, slider_->maximum());
    slider_->setValue(fields_.speed);
    update_data(false);
}

void kvr_main_dlg::on_speed_entered() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    if (!saved_through(kvr_idc_speed) || !driving_entered())
        return;
    const int step = std::clamp(fields_.speed, 0, slider_->maximum());
    run_op(QStringLiteral("speed of loco %1").arg(fields_.loco_address), [&] { throttle_->set_speed(step); });
    show_loco();
}

void kvr_main_dlg::on_step_mode() {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    kvr_wait_cursor busy;
    const int wanted = step_mode_->checkedId() == 0 ? 28 : 128;  // 0 "28step", 1 "128step"
    if (!driving_entered()) {
        show_loco();
        return;
    }
    run_op(QStringLiteral("speed steps of loco %1").arg(fields_.loco_address), [&] { throttle_->set_steps(wanted); });
    show_loco();
}

void kvr_main_dlg::on_direction() {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    kvr_wait_cursor busy;
    const bool forward = direction_->checkedId() == 1;  // 0 "Rev", 1 "Fwd"
    if (!driving_entered()) {
        show_loco();
        return;
    }
    if (forward != throttle_->loco().forward)
        run_op(QStringLiteral("direction of loco %1").arg(fields_.loco_address),
               [&] { throttle_->set_direction(forward); });
    show_loco();
}

void kvr_main_dlg::on_function_box(unsigned n) {
    if (!connected_or_say_so()) {
        show_throttle_fields();
        return;
    }
    const bool on = check(kvr_idc_f0 + static_cast<int>(n))->isChecked();
    if (!driving_entered()) {
        show_loco();
        return;
    }
    run_op(QStringLiteral("F%1 of loco %2").arg(n).arg(fields_.loco_address), [&] { throttle_->set_function(n, on); });
    show_loco();
}

void kvr_main_dlg::on_loco_entered() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    if (!saved_through(kvr_idc_loco_adr) || !loco_address_ok())
        return;
    acquire_entered();
}

bool kvr_main_dlg::driving_entered(bool quiet) {
    // An exchange stopped at or before the address leaves its field older
    // than the entry.
    update_data(true, quiet);
    if (!saved_through(kvr_idc_loco_adr) || !loco_address_ok(quiet))
        return false;
    const kvr_loco_state loco = throttle_->loco();
    if (loco.address != 0 && loco.address == fields_.loco_address)
        return true;
    acquire_entered();
    return false;
}

void kvr_main_dlg::acquire_entered() {
    const auto address = static_cast<uint16_t>(fields_.loco_address);
    std::optional<kvr_throttle::acquired> got;
    run_op(QStringLiteral("loco %1").arg(address), [&] { got = throttle_->acquire(address); });
    if (got && got->result == kvr_throttle::outcome::held_elsewhere) {
        const QString question =
            QStringLiteral("Loco %1 is in use by throttle %2 (slot %3).\n\nTake it over? That throttle can no "
                           "longer drive it.")
                .arg(address)
                .arg(got->loco.holder)
                .arg(got->loco.slot);
        if (confirm_ && confirm_(question))
            run_op(QStringLiteral("loco %1").arg(address), [&] { throttle_->acquire(address, true); });
    }
    throttle_shown_ = 0;
    show_loco();
}

// What the throttle knows of its loco goes into the fields and the
// controls; while another address stands typed, nothing is changed under
// the user's hands.
void kvr_main_dlg::show_loco() {
    const kvr_loco_state loco = throttle_->loco();
    throttle_shown_ = throttle_->version();
    show_state(loco);
}

// After every Connect the screen must show what this bus says of the loco in
// the address box before any control can send: a new layout, or the same one
// an hour later, has that loco running its own way. Its slot is asked for
// (OPC_LOCO_ADR: a read, no take, no write; the first control used takes
// it) without waiting, so a silent port never holds the window; the answer
// reaches the bus state and follow_loco shows it. The answer's TRK byte also
// tells the power buttons the track's state; with no loco entered the
// dispatch slot is asked, only for its TRK.
void kvr_main_dlg::read_after_connect() {
    show_loco();
    if (!loconet_)
        return;
    int address = 0;
    if (kvr_parse_int(edit(kvr_idc_loco_adr)->text(), address) && kvr_proto::is_loco_address(address))
        loconet_->send_req_loco_adr(static_cast<uint32_t>(address));
    else
        loconet_->send_req_sl_data(0);
}

// The loco in the address box as the bus state has its slot, while no loco
// is driven: what a read after Connect, or another throttle, shows of it.
void kvr_main_dlg::show_read_loco() {
    int address = 0;
    if (throttle_->driving() || !kvr_parse_int(edit(kvr_idc_loco_adr)->text(), address) ||
        !kvr_proto::is_loco_address(address))
        return;
    const kvr_slot_state* slot = bus_.slot_of_address(static_cast<uint16_t>(address));
    if (slot == nullptr || (slot->seen == read_loco_seen_ && slot->slot == read_loco_slot_))
        return;
    read_loco_seen_ = slot->seen;
    read_loco_slot_ = slot->slot;
    kvr_loco_state loco;
    loco.address = slot->address;
    loco.slot = slot->slot;
    loco.expanded = slot->expanded;
    loco.stat = slot->stat;
    loco.spd = slot->speed;
    loco.forward = slot->forward;
    loco.functions = slot->functions;
    loco.holder = slot->throttle_id;
    show_state(loco);
}

void kvr_main_dlg::show_state(const kvr_loco_state& loco) {
    int shown = 0;
    if (loco.address == 0 || !kvr_parse_int(edit(kvr_idc_loco_adr)->text(), shown) || shown != loco.address) {
        show_throttle_fields();
        return;
    }
    fields_.loco_address = loco.address;
    fields_.direction = loco.forward ? 1 : 0;
    fields_.step_mode = loco.steps() == 128 ? 1 : 0;
    for (unsigned i = 0; i <= kvr_proto::slot_function_max; ++i)
        fields_.f[i] = (loco.functions >> i) & 1 ? 1 : 0;
    const kvr_dlg_state outer = state_;
    state_ = kvr_dlg_state::exchanging;
    slider_->setRange(0, slider_top(loco.steps()));
    if (!slider_->isSliderDown()) {
        // Field first: the slider drawn at the new place then sends nothing.
        fields_.speed = loco.step();
        edit(kvr_idc_speed)->setText(QString::number(fields_.speed));
        slider_->setValue(fields_.speed);
    }
    state_ = outer;
    show_throttle_fields();
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

void kvr_main_dlg::follow_loco() {
    if (state_ != kvr_dlg_state::idle)
        return;
    show_read_loco();
    if (throttle_->version() == throttle_shown_)
        return;
    show_loco();
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

// Power Off is a stop: while an operation waits it goes out at once, ahead
// of everything queued.
void kvr_main_dlg::on_power_off() {
    if (!connected_or_say_so())
        return;
    if (state_ != kvr_dlg_state::idle) {
        send_now([&] { loconet_->send_stop(kvr_loconet_msg::with_checksum({OPC_GPOFF})); });
        return;
    }
    update_data(true);
    run_op(QStringLiteral("track power off"), [&] { station_->do_shutdown(0); });
}

void kvr_main_dlg::on_fast_clock() {
    if (!connected_or_say_so())
        return;
    update_data(true);
    run_op(QStringLiteral("the fast clock"), [&] { loconet_->send_req_sl_data(kvr_slot_fast_clock); });
}
