#include "ui/kvr_devices_wnd.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "station/kvr_dccx_loconet.h"
#include "ui/kvr_screen_fit.h"
#include "ui/kvr_view_host.h"
#include "ui/kvr_view_table.h"

namespace {

constexpr const char* device_headers[] = {"Protocol", "Address", "Identity"};
static_assert(std::size(device_headers) == kvr_devices_wnd::dev_count);
constexpr const char* variable_headers[] = {"Variable", "Value"};
static_assert(std::size(variable_headers) == kvr_devices_wnd::var_count);

// How long Discover listens for answers.
constexpr unsigned discover_wait_ms = 2000;
constexpr int read_count_max = 256;
constexpr int sv_value_max = 255;
constexpr int lncv_value_max = 0xFFFF;

bool is_lncv(const kvr_device_found& d) { return d.kind == kvr_device_found::protocol::lncv; }

// One device, whatever address it has now: an SV2 device by its identity,
// an LNCV module by its article and address.
bool same_device(const kvr_device_found& a, const kvr_device_found& b) {
    if (a.kind != b.kind) return false;
    if (is_lncv(a)) return a.article == b.article && a.address == b.address;
    return a.identity == b.identity;
}

QString identity_text(const kvr_device_found& d) {
    if (is_lncv(d)) return QStringLiteral("article %1").arg(d.article);
    return QStringLiteral("manufacturer %1, developer %2, product %3, serial %4")
        .arg(d.identity.manufacturer)
        .arg(d.identity.developer)
        .arg(d.identity.product)
        .arg(d.identity.serial);
}

QString variable_name(const kvr_device_found& d) { return is_lncv(d) ? QStringLiteral("LNCV") : QStringLiteral("SV"); }

bool add_once(std::vector<kvr_device_found>& list, const kvr_device_found& d, std::size_t* at = nullptr) {
    for (std::size_t i = 0; i < list.size(); ++i)
        if (same_device(list[i], d)) {
            list[i] = d;
            if (at) *at = i;
            return false;
        }
    list.push_back(d);
    if (at) *at = list.size() - 1;
    return true;
}

}  // namespace

kvr_devices_wnd::kvr_devices_wnd(kvr_view_host& host, QWidget* parent)
    : QWidget(parent, Qt::Window), host_(host) {
    setWindowTitle(QStringLiteral("Busprobe: Devices"));
    setObjectName(QStringLiteral("devices_view"));
    confirm = [this](const QString& question) {
        return QMessageBox::question(this, windowTitle(), question) == QMessageBox::Yes;
    };
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(build_devices(), 1);
    layout->addWidget(build_variables(), 1);
    layout->addWidget(build_opsw());
    layout->addWidget(status_);
    device_chosen();
    resize(620, 700);
    kvr_keep_on_screen(this);
}

QGroupBox* kvr_devices_wnd::build_devices() {
    auto* box = new QGroupBox(QStringLiteral("Devices on the bus"), this);
    devices_ = kvr_make_view_table(box, device_headers, QStringLiteral("Choose a device to read its variables"));
    discover_ = new QPushButton(QStringLiteral("D&iscover"), box);
    discover_->setToolTip(QStringLiteral("Ask every SV2 device and every LNCV module on the bus who it is (2 s)"));
    auto* row = new QHBoxLayout;
    row->addWidget(discover_);
    row->addStretch(1);
    auto* v = new QVBoxLayout(box);
    v->addWidget(devices_, 1);
    v->addLayout(row);
    connect(discover_, &QPushButton::clicked, this, [this] { discover(); });
    connect(devices_, &QTableWidget::itemSelectionChanged, this, [this] { device_chosen(); });
    return box;
}

QGroupBox* kvr_devices_wnd::build_variables() {
    auto* box = new QGroupBox(QStringLiteral("Variables of the chosen device"), this);
    variables_ = kvr_make_view_table(box, variable_headers, QStringLiteral("Choose a variable to write it"));
    from_ = new QSpinBox(box);
    from_->setRange(0, 0xFFFF);
    from_->setPrefix(QStringLiteral("from "));
    count_ = new QSpinBox(box);
    count_->setRange(1, read_count_max);
    count_->setValue(8);
    count_->setPrefix(QStringLiteral("count "));
    read_ = new QPushButton(QStringLiteral("&Read"), box);
    read_->setToolTip(QStringLiteral("Read the variables of the range into the table"));
    progress_ = new QProgressBar(box);
    progress_->hide();
    value_ = new QSpinBox(box);
    value_->setPrefix(QStringLiteral("value "));
    write_ = new QPushButton(QStringLiteral("&Write"), box);
    write_->setToolTip(QStringLiteral("Write the value into the chosen variable and read it back"));
    auto* range = new QHBoxLayout;
    range->addWidget(from_);
    range->addWidget(count_);
    range->addWidget(read_);
    range->addWidget(progress_, 1);
    auto* change = new QHBoxLayout;
    change->addWidget(value_);
    change->addWidget(write_);
    change->addStretch(1);
    auto* v = new QVBoxLayout(box);
    v->addLayout(range);
    v->addWidget(variables_, 1);
    v->addLayout(change);
    connect(read_, &QPushButton::clicked, this, [this] { read_variables(); });
    connect(write_, &QPushButton::clicked, this, [this] { write_variable(); });
    // The value box starts at the value the chosen row shows.
    connect(variables_, &QTableWidget::currentCellChanged, this, [this](int row, int, int, int) {
        if (const QTableWidgetItem* i = row >= 0 ? variables_->item(row, var_value) : nullptr)
            value_->setValue(i->text().toInt());
    });
    return box;
}

QGroupBox* kvr_devices_wnd::build_opsw() {
    auto* box = new QGroupBox(QStringLiteral("Command station option switches (checked = closed)"), this);
    auto* v = new QVBoxLayout(box);
    const auto make_grid = [&](QWidget* holder, int first) {
        auto* grid = new QGridLayout(holder);
        grid->setSpacing(2);
        for (int n = first; n < first + kvr_opsw_count; ++n) {
            auto* c = new QCheckBox(QString::number(n), holder);
            c->setEnabled(false);
            // OpSw 8, 16 ... fall on bit 7 of a data byte: no switch.
            if (!kvr_cs_opsw_writable(n)) c->setToolTip(QStringLiteral("Not a switch: always thrown"));
            opsw_[static_cast<std::size_t>(n - 1)] = c;
            grid->addWidget(c, (n - first) / 8, (n - first) % 8);
        }
    };
    auto* low = new QWidget(box);
    make_grid(low, 1);
    opsw_high_ = new QGroupBox(QStringLiteral("OpSw 65-128 (expanded command station)"), box);
    make_grid(opsw_high_, kvr_opsw_count + 1);
    opsw_high_->hide();
    opsw_read_ = new QPushButton(QStringLiteral("Read &switches"), box);
    opsw_read_->setToolTip(QStringLiteral("Read the command station's option switches"));
    opsw_write_ = new QPushButton(QStringLiteral("Write swi&tches"), box);
    opsw_write_->setToolTip(QStringLiteral("Write the switches changed since the last read (asks first)"));
    opsw_write_->setEnabled(false);
    auto* row = new QHBoxLayout;
    row->addWidget(opsw_read_);
    row->addWidget(opsw_write_);
    row->addStretch(1);
    v->addWidget(low);
    v->addWidget(opsw_high_);
    v->addLayout(row);
    connect(opsw_read_, &QPushButton::clicked, this, [this] { read_opsw(); });
    connect(opsw_write_, &QPushButton::clicked, this, [this] { write_opsw(); });
    return box;
}

void kvr_devices_wnd::say(const QString& text) { status_->setText(text); }

void kvr_devices_wnd::add_device(const kvr_device_found& d) {
    std::size_t at = 0;
    if (add_once(found_, d, &at)) devices_->insertRow(static_cast<int>(at));
    const int row = static_cast<int>(at);
    kvr_set_view_cell(devices_, row, dev_protocol, is_lncv(d) ? QStringLiteral("LNCV") : QStringLiteral("SV2"), false);
    kvr_set_view_cell(devices_, row, dev_address, QString::number(d.address), true);
    kvr_set_view_cell(devices_, row, dev_identity, identity_text(d), false);
}

void kvr_devices_wnd::clear() {
    found_.clear();
    devices_->setRowCount(0);
    variables_->setRowCount(0);
    opsw_read_state_ = {};
    for (QCheckBox* c : opsw_) {
        c->setChecked(false);
        c->setEnabled(false);
    }
    opsw_high_->hide();
    opsw_write_->setEnabled(false);
    say({});
    device_chosen();
}

std::optional<kvr_device_found> kvr_devices_wnd::selected_device() const {
    const int row = devices_->currentRow();
    if (row < 0 || row >= static_cast<int>(found_.size()) || !devices_->selectionModel()->isRowSelected(row, {}))
        return std::nullopt;
    return found_[static_cast<std::size_t>(row)];
}

// Another device: its variables are not those shown.
void kvr_devices_wnd::device_chosen() {
    const std::optional<kvr_device_found> d = selected_device();
    variables_->setRowCount(0);
    read_->setEnabled(d.has_value());
    write_->setEnabled(false);
    value_->setRange(0, d && is_lncv(*d) ? lncv_value_max : sv_value_max);
}

void kvr_devices_wnd::discover() {
    std::vector<kvr_device_found> got;
    const bool done = host_.run_station_op(QStringLiteral("discovering devices"), [&](kvr_dccx_loconet& st) {
        got = kvr_devices(st).do_discover({}, discover_wait_ms);
    });
    for (const kvr_device_found& d : got) add_device(d);
    if (done) say(got.empty() ? QStringLiteral("No device answered") : QStringLiteral("%1 devices answered").arg(got.size()));
}

void kvr_devices_wnd::show_variable(uint16_t number, uint16_t value) {
    int row = 0;
    while (row < variables_->rowCount() && variables_->item(row, var_number)->text().toInt() < number) ++row;
    if (row == variables_->rowCount() || variables_->item(row, var_number)->text().toInt() != number)
        variables_->insertRow(row);
    kvr_set_view_cell(variables_, row, var_number, QString::number(number), true);
    kvr_set_view_cell(variables_, row, var_value, QString::number(value), true);
    write_->setEnabled(true);
}

// SVs four at a time and LNCVs one by one in one session, the progress bar
// moved after each answer; what was read before a Cancel or a failure stays.
void kvr_devices_wnd::read_variables() {
    const std::optional<kvr_device_found> d = selected_device();
    if (!d) return;
    const int first = from_->value();
    const int count = std::min(count_->value(), 0x10000 - first);
    variables_->setRowCount(0);
    progress_->setRange(0, count);
    progress_->setValue(0);
    progress_->show();
    const QString what = QStringLiteral("reading %1 %2 to %3").arg(variable_name(*d)).arg(first).arg(first + count - 1);
    host_.run_station_op(what, [&](kvr_dccx_loconet& st) {
        kvr_devices dev(st);
        if (is_lncv(*d)) {
            dev.do_lncv_read(d->article, d->address, static_cast<uint16_t>(first), static_cast<unsigned>(count),
                             [&](uint16_t n, uint16_t v) {
                                 show_variable(n, v);
                                 progress_->setValue(n - first + 1);
                             });
            return;
        }
        for (int at = first; at < first + count; at += 4) {
            const int n = std::min(4, first + count - at);
            const std::vector<uint8_t> values =
                dev.do_sv_read(d->address, static_cast<uint16_t>(at), static_cast<unsigned>(n));
            for (int i = 0; i < n; ++i) show_variable(static_cast<uint16_t>(at + i), values[static_cast<std::size_t>(i)]);
            progress_->setValue(at + n - first);
        }
    });
    progress_->hide();
}

void kvr_devices_wnd::write_variable() {
    const std::optional<kvr_device_found> d = selected_device();
    const int row = variables_->currentRow();
    if (!d || row < 0 || !variables_->item(row, var_number)) return;
    const auto number = static_cast<uint16_t>(variables_->item(row, var_number)->text().toInt());
    const int value = value_->value();
    const QString what = QStringLiteral("writing %1 %2 = %3").arg(variable_name(*d)).arg(number).arg(value);
    const bool done = host_.run_station_op(what, [&](kvr_dccx_loconet& st) {
        kvr_devices dev(st);
        if (is_lncv(*d))
            dev.do_lncv_write(d->article, d->address, number, static_cast<uint16_t>(value));
        else
            dev.do_sv_write(d->address, number, static_cast<uint8_t>(value));
    });
    // Written and read back: the device holds the value now.
    if (done) {
        show_variable(number, static_cast<uint16_t>(value));
        // LNCV 0 is the module's address: it answers there from now on.
        if (is_lncv(*d) && number == 0) {
            const int dev_row = devices_->currentRow();
            found_[static_cast<std::size_t>(dev_row)].address = static_cast<uint16_t>(value);
            kvr_set_view_cell(devices_, dev_row, dev_address, QString::number(value), true);
        }
        say(QStringLiteral("%1 %2 = %3, read back").arg(variable_name(*d)).arg(number).arg(value));
    }
}

void kvr_devices_wnd::show_opsw(const kvr_loconet_msg& slot) {
    const int first = slot[2] == kvr_slot_opsw ? 1 : kvr_opsw_count + 1;
    for (int n = first; n < first + kvr_opsw_count; ++n) {
        const bool closed = kvr_cs_opsw_get(slot, n);
        QCheckBox* c = opsw_box(n);
        c->setChecked(closed);
        c->setEnabled(kvr_cs_opsw_writable(n));
        opsw_read_state_[static_cast<std::size_t>(n - 1)] = closed;
    }
}

void kvr_devices_wnd::read_opsw() {
    std::optional<kvr_loconet_msg> low, high;
    const bool done = host_.run_station_op(QStringLiteral("reading the option switches"), [&](kvr_dccx_loconet& st) {
        kvr_devices dev(st);
        low = dev.do_cs_opsw_read(kvr_slot_opsw);
        // TRK bit 6: an expanded command station, OpSw 65-128 in slot 126.
        if ((*low)[kvr_proto::slot_trk] & 0x40) high = dev.do_cs_opsw_read(kvr_slot_opsw_ext);
    });
    if (!done) return;
    show_opsw(*low);
    opsw_high_->setVisible(high.has_value());
    if (high) show_opsw(*high);
    opsw_write_->setEnabled(true);
    say(QStringLiteral("Option switches read"));
}

void kvr_devices_wnd::write_opsw() {
    std::vector<std::pair<int, bool>> changes;
    QStringList names;
    for (int n = 1; n <= opsw_total; ++n) {
        const std::optional<bool> was = opsw_read_state_[static_cast<std::size_t>(n - 1)];
        const bool now = opsw_box(n)->isChecked();
        if (was && *was != now && kvr_cs_opsw_writable(n)) {
            changes.emplace_back(n, now);
            names << QStringLiteral("OpSw %1 %2").arg(n).arg(now ? QStringLiteral("closed") : QStringLiteral("thrown"));
        }
    }
    if (changes.empty()) {
        say(QStringLiteral("No switch changed since the last read: nothing written"));
        return;
    }
    const QString question = QStringLiteral("Write to the command station: %1?\n\nSome option switches clear every slot "
                                            "of the command station or change its role on the bus.")
                                 .arg(names.join(QStringLiteral(", ")));
    if (!confirm || !confirm(question)) return;
    const bool done = host_.run_station_op(QStringLiteral("writing the option switches"),
                                           [&](kvr_dccx_loconet& st) { kvr_devices(st).do_cs_opsw_write(changes); });
    if (done) {
        for (const auto& [n, closed] : changes) opsw_read_state_[static_cast<std::size_t>(n - 1)] = closed;
        say(QStringLiteral("Written and read back: %1").arg(names.join(QStringLiteral(", "))));
        return;
    }
    // What the command station holds now is not known: read before writing again.
    opsw_write_->setEnabled(false);
    say(QStringLiteral("The switches were not confirmed: read them again"));
}

// ---------------------------------------------------------------------------

void kvr_devices_feed::open() {
    const bool made = !wnd_;
    if (made) {
        wnd_ = new kvr_devices_wnd(host_, parent_);
        for (const kvr_device_found& d : found_) wnd_->add_device(d);
    }
    wnd_->show();
    wnd_->raise();
    wnd_->activateWindow();
}

void kvr_devices_feed::on_batch(std::span<const kvr_drained> batch) {
    for (const kvr_drained& e : batch) {
        if (!e.has_msg()) continue;
        const std::optional<kvr_device_found> d = kvr_device_from_answer(e.msg);
        if (!d) continue;
        add_once(found_, *d);
        if (wnd_) wnd_->add_device(*d);
    }
}

void kvr_devices_feed::forget() {
    found_.clear();
    if (wnd_) wnd_->clear();
}
