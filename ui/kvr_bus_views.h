#pragma once
// The Slots and the Sensors and turnouts windows, each made when first
// opened, as one consumer of the drained batches: once per batch the rows
// the batch changed are redrawn, never the whole table. The bus state is the
// dialog's, fed before the batch is handed on; this consumer only takes its
// lists of changed rows. GUI thread only.

#include <QPointer>

#include <span>

#include "ui/kvr_batch_consumer.h"

class QWidget;
class kvr_bus_state;
class kvr_sensors_view;
class kvr_slots_view;
class kvr_view_host;

class kvr_bus_views : public kvr_batch_consumer {
public:
    kvr_bus_views(kvr_bus_state& bus, kvr_view_host& host, QWidget* parent) : bus_(bus), host_(host), parent_(parent) {}

    // Shows the window (made and filled the first time), raised and active.
    void open_slots();
    void open_sensors();
    kvr_slots_view* slots_view() const;
    kvr_sensors_view* sensors_view() const;

    void on_batch(std::span<const kvr_drained> batch) override;
    // The bus state was forgotten: so are the windows' rows.
    void forget() override;

private:
    kvr_bus_state& bus_;
    kvr_view_host& host_;
    QWidget* parent_;
    QPointer<kvr_slots_view> slots_view_;
    QPointer<kvr_sensors_view> sensors_view_;
};
