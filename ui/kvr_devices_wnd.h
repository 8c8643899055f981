#pragma once
// The Devices window: the SV2 and LNCV devices on the bus, their variables
// and the command station's option switches.
//
//   Discover          asks every device (station/kvr_devices.h); the table
//                     also takes the answers other programs cause, from the
//                     window's drain (kvr_devices_feed below)
//   Read              the selected device's variables from..from+count-1
//                     into the variable table, with progress; the dialog's
//                     Cancel box stops it (an LNCV session is still ended)
//   Write             the value into the selected variable, read back
//   OpSw Read/Write   the command station's option switches as check boxes;
//                     Write asks first and sends only the switches changed
//                     since the last Read
//
// Nothing goes to the bus but on Discover, Read or Write. Every exchange runs
// through the host's one operation guard. GUI thread only.

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "station/kvr_devices.h"
#include "ui/kvr_batch_consumer.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class kvr_view_host;

class kvr_devices_wnd : public QWidget {
public:
    enum device_column { dev_protocol, dev_address, dev_identity, dev_count };
    enum variable_column { var_number, var_value, var_count };
    static constexpr int opsw_total = 128;

    kvr_devices_wnd(kvr_view_host& host, QWidget* parent);

    // A device seen (by Discover or in another program's traffic); a device
    // already listed is updated in its row.
    void add_device(const kvr_device_found& d);
    // Another layout, or none: nothing found or read here holds any more.
    void clear();

    void discover();
    void read_variables();
    void write_variable();
    void read_opsw();
    void write_opsw();

    // Asks before the option switches are written; true to go on. The
    // default is a question box.
    std::function<bool(const QString&)> confirm;

    QTableWidget* devices_table() const { return devices_; }
    QTableWidget* variables_table() const { return variables_; }
    QPushButton* discover_button() const { return discover_; }
    QSpinBox* from_box() const { return from_; }
    QSpinBox* count_box() const { return count_; }
    QPushButton* read_button() const { return read_; }
    QSpinBox* value_box() const { return value_; }
    QPushButton* write_button() const { return write_; }
    QProgressBar* progress() const { return progress_; }
    QCheckBox* opsw_box(int n) const { return opsw_[static_cast<std::size_t>(n - 1)]; }
    QPushButton* opsw_read_button() const { return opsw_read_; }
    QPushButton* opsw_write_button() const { return opsw_write_; }
    QLabel* status() const { return status_; }
    const std::vector<kvr_device_found>& devices() const { return found_; }
    // The device of the selected row.
    std::optional<kvr_device_found> selected_device() const;

private:
    QGroupBox* build_devices();
    QGroupBox* build_variables();
    QGroupBox* build_opsw();
    void device_chosen();
    void show_variable(uint16_t number, uint16_t value);
    void show_opsw(const kvr_loconet_msg& slot);
    void say(const QString& text);

    kvr_view_host& host_;
    std::vector<kvr_device_found> found_;  // row order
    QTableWidget* devices_ = nullptr;
    QTableWidget* variables_ = nullptr;
    QPushButton* discover_ = nullptr;
    QSpinBox* from_ = nullptr;
    QSpinBox* count_ = nullptr;
    QPushButton* read_ = nullptr;
    QSpinBox* value_ = nullptr;
    QPushButton* write_ = nullptr;
    QProgressBar* progress_ = nullptr;
    std::array<QCheckBox*, opsw_total> opsw_{};
    QGroupBox* opsw_high_ = nullptr;
    QPushButton* opsw_read_ = nullptr;
    QPushButton* opsw_write_ = nullptr;
    QLabel* status_ = nullptr;
    // The switches as the command station last showed them; empty until a
    // Read (nothing can be written before).
    std::array<std::optional<bool>, opsw_total> opsw_read_state_{};
};

// The window's consumer of the drained batches: the devices that answer on
// the bus, kept from the Connect on and handed to the window, which is made
// when first opened.
class kvr_devices_feed : public kvr_batch_consumer {
public:
    kvr_devices_feed(kvr_view_host& host, QWidget* parent) : host_(host), parent_(parent) {}

    void open();
    kvr_devices_wnd* window() const { return wnd_; }
    const std::vector<kvr_device_found>& devices() const { return found_; }

    void on_batch(std::span<const kvr_drained> batch) override;
    void forget() override;

private:
    kvr_view_host& host_;
    QWidget* parent_;
    QPointer<kvr_devices_wnd> wnd_;
    std::vector<kvr_device_found> found_;
};
