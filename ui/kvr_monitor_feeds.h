#pragma once
// The consumers of drained batches that keep what the monitor shows: the
// monitor view, the copy of monitor lines into the dated log ("FileLog"),
// and the capture recording ("Record capture…"). Each reads the texts the
// monitor sink made; none decodes a message. GUI thread only.

#include <functional>
#include <span>
#include <string>

#include "loconet/kvr_capture.h"
#include "ui/kvr_batch_consumer.h"

class kvr_dated_log;
class kvr_log_view;
class kvr_view_host;

// Every line into the monitor view: the extended line where the sink made
// one, else the monitor's; each with its receive time and message bytes for
// the time and hex columns. The view keeps its lines across layouts.
class kvr_monitor_feed : public kvr_batch_consumer {
public:
    explicit kvr_monitor_feed(kvr_log_view& view) : view_(view) {}
    // 0 normal, else stack; applies to the lines of later batches.
    void set_log_mode(int mode) { mode_ = mode; }

    void on_batch(std::span<const kvr_drained> batch) override;
    void forget() override {}

private:
    kvr_log_view& view_;
    int mode_ = 0;
};

// The monitor's lines (never the extended ones) into the dated log while
// switched on. A text without a line end waits for the rest of its line.
// A failed write switches the copy off before it is told, so the lines
// still arriving while the report is open do not raise it again.
class kvr_file_log_feed : public kvr_batch_consumer {
public:
    kvr_file_log_feed(kvr_dated_log& log, kvr_view_host& host) : log_(log), host_(host) {}
    void set_on(bool on) { on_ = on; }
    bool on() const { return on_; }
    // Called when a failed write switched the copy off.
    std::function<void()> on_failed;

    void on_batch(std::span<const kvr_drained> batch) override;
    void forget() override {}

private:
    void write(const std::string& text);

    kvr_dated_log& log_;
    kvr_view_host& host_;
    bool on_ = false;
    std::string pending_;  // the start of a line whose end has not come yet
};

// Every message received while recording, as a capture file. A failed write
// ends the recording and says so once.
class kvr_capture_recorder : public kvr_batch_consumer {
public:
    explicit kvr_capture_recorder(kvr_view_host& host) : host_(host) {}
    // Stops a recording under way first. False (and not recording) when
    // `path` cannot be created, with the reason in *error.
    bool start(const std::string& path, std::string* error);
    // Flushes and closes; false when a write failed.
    bool stop();
    bool recording() const { return writer_.is_open(); }
    const std::string& error() const { return writer_.error(); }
    // Called whenever recording starts or stops, a failure included.
    std::function<void()> on_changed;

    void on_batch(std::span<const kvr_drained> batch) override;
    void forget() override {}

private:
    kvr_view_host& host_;
    kvr_capture_writer writer_;
};
