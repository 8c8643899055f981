#include "ui/kvr_monitor_feeds.h"

#include <QString>

#include <cstdint>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_file.h"
#include "foundation/kvr_hooks.h"
#include "foundation/kvr_text.h"
#include "ui/kvr_log_view.h"
#include "ui/kvr_view_host.h"

// ---- monitor view ----

void kvr_monitor_feed::on_batch(std::span<const kvr_drained> batch) {
    view_.set_log_mode(mode_);
    std::vector<uint8_t> bytes;
    for (const kvr_drained& it : batch) {
        const std::string& text = it.shown();
        int64_t ms = -1;  // a note: received now
        bytes.clear();
        if (it.has_msg()) {
            bytes.assign(it.msg.data(), it.msg.data() + it.msg.length());
            ms = it.time.seconds * 1000 + it.time.micros / 1000;
        }
        view_.append_line(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), ms, bytes, it.subject);
    }
}

// ---- dated log ----

void kvr_file_log_feed::on_batch(std::span<const kvr_drained> batch) {
    for (const kvr_drained& it : batch) {
        if (!on_)
            return;
        write(it.line);
    }
}

void kvr_file_log_feed::write(const std::string& text) {
    std::string part = text;
    pending_ += crlf_to_lf(part);
    if (pending_.empty() || pending_.back() != '\n')
        return;  // the line goes on in a later text
    pending_.pop_back();
    std::string line;
    line.swap(pending_);
    try {
        log_.write_line(line);
    } catch (const kvr_exception& e) {
        on_ = false;
        if (on_failed)
            on_failed();
        host_.report([e] { e.show(); });
    }
}

// ---- capture recording ----

bool kvr_capture_recorder::start(const std::string& path, std::string* error) {
    stop();
    if (!writer_.open(path)) {
        if (error)
            *error = writer_.error();
        return false;
    }
    if (on_changed)
        on_changed();
    return true;
}

bool kvr_capture_recorder::stop() {
    if (!writer_.is_open())
        return true;
    const bool ok = writer_.close();
    if (on_changed)
        on_changed();
    return ok;
}

void kvr_capture_recorder::on_batch(std::span<const kvr_drained> batch) {
    for (const kvr_drained& it : batch) {
        if (!writer_.is_open())
            return;
        if (!it.has_msg() || writer_.write(it.time, it.msg))
            continue;
        const std::string error = writer_.error();
        stop();
        host_.report([error] { kvr_message_box("Recording stopped: " + error, "Busprobe", kvr_icon::exclamation); });
        return;
    }
}
