#pragma once
// Window tests drive real widgets offscreen, over a fake link and a recording
// command station, or over the "SIM" port for the whole path.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kvr_exception.h"
#include "foundation/kvr_hooks.h"
#include "link/kvr_loconet_port.h"
#include "loconet/kvr_loconet_proto.h"
#include "station/kvr_dccx.h"
#include "ui/kvr_main_dlg.h"
#include "ui/kvr_view_host.h"

// A message as hex bytes, "BF 00 03 43", for comparing what reached the link.
inline std::string hex(const kvr_loconet_msg& m) {
    std::string s;
    for (int i = 0; i < m.length(); ++i) s += QString::asprintf(i ? " %02X" : "%02X", m[i]).toStdString();
    return s;
}

// Runs the event loop for `ms` milliseconds.
inline void pump(int ms = 20) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until `done` holds or `ms` passed; returns `done()`.
// The bound is a hang guard, not a speed check.
inline bool pump_until(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        pump(5);
    return done();
}

// A link that is open when told so, records what is queued and never answers.
class fake_link : public kvr_loconet_port {
public:
    void open(const std::string& name) override {
        if (name.rfind("/nonexistent", 0) == 0)
            KVR_RAISE("fake_link::open(" + name + ")=>fail", 2, "fake_link");
        set_open(true);
    }
    void close() override {
        ++closes;
        set_open(false);
    }
    void send(const kvr_loconet_msg& msg, uint32_t) override {
        sent.push_back(msg);
        if (on_send)
            on_send(msg);
    }
    // The fake has no queue: a stop is recorded as sent, and marked.
    void send_first(const kvr_loconet_msg& msg) override {
        firsts.push_back(sent.size());
        send(msg, 0);
    }
    void lose(const std::string& report) {
        set_open(false);
        notify_link_lost(report);
    }
    void post(const std::string& text) { post_note(text); }

    std::vector<kvr_loconet_msg> sent;
    std::vector<std::size_t> firsts;  // indexes into `sent` of the stops
    int closes = 0;
    // Runs after each message is recorded (a scripted command station).
    std::function<void(const kvr_loconet_msg&)> on_send;
};

// A command station just big enough for the throttle: it keeps loco slots,
// answers the address request, the NULL move and slot reads from them on
// the link's receive path, and takes slot writes and speed, direction,
// function and status messages into them. Addresses it does not hold go
// unanswered. Slot layout and the NULL move: LocoNet PE opcode summary.
struct loco_keeper {
    std::map<uint8_t, kvr_loconet_msg> locos;

    void put(uint8_t slot, uint16_t address, uint8_t stat, uint8_t spd = 0, uint8_t dirf = 0, uint16_t id = 0,
             uint8_t snd = 0) {
        locos[slot] = kvr_proto::slot_message(
            OPC_SL_RD_DATA, slot,
            {stat, static_cast<uint8_t>(address & 0x7F), spd, dirf, 0x07, 0, static_cast<uint8_t>(address >> 7), snd,
             static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id & 0x7F)});
    }
    void answer(fake_link& link, const kvr_loconet_msg& m) {
        const auto deliver = [&](uint8_t n) {
            const kvr_loconet_msg s = locos[n];
            link.receive_bytes(s.data(), static_cast<std::size_t>(s.length()));
        };
        const auto set = [&](uint8_t n, int field, uint8_t v) {
            locos[n][field] = v;
            locos[n].renew_checksum();
        };
        switch (m.opcode()) {
        case 0xBF:
            for (const auto& [n, s] : locos)
                if (s.slot_address() == kvr_proto::decode_loco_address(m[1], m[2]))
                    return deliver(n);
            return;
        case 0xBA:
            if (m[1] == m[2] && locos.count(m[1])) {
                set(m[1], 3, static_cast<uint8_t>(locos[m[1]][3] | 0x30));
                deliver(m[1]);
            }
            return;
        case 0xBB:
            if (locos.count(m[1]))
                deliver(m[1]);
            return;
        case 0xEF:
            if (m.length() == 14 && m[2] != 0x7B && m[2] != 0x7C) {
                kvr_loconet_msg s = m;
                s.set_opcode(0xE7);
                s.renew_checksum();
                locos[m[2]] = s;
            }
            return;
        case 0xA0:
        case 0xA1:
        case 0xA2:
        case 0xB5:
            if (locos.count(m[1]))
                set(m[1], m.opcode() == 0xA0 ? 5 : m.opcode() == 0xA1 ? 6 : m.opcode() == 0xA2 ? 10 : 3, m[2]);
            return;
        default:
            return;
        }
    }
};

// A command station that writes down every call ("sw(10,1,1)"); reads
// answer `read_result`, and every call throws `fail` when set.
class recording_station : public kvr_dccx {
public:
    explicit recording_station(kvr_loconet_port& link) : kvr_dccx(link) {}

    std::vector<std::string> calls;
    uint16_t read_result = 0;
    std::unique_ptr<kvr_exception> fail;

    void do_write_ex_address(uint32_t, uint8_t, uint8_t) override {}
    bool do_direct_bit_write(uint32_t, uint8_t, uint8_t) override { return true; }
    bool do_direct_bit_verify(uint32_t, uint8_t, uint8_t) override { return true; }
    void do_direct_write(uint32_t cv, uint8_t v) override { note("direct_write", cv, v); }
    uint16_t do_direct_read(uint32_t cv) override { return note("direct_read", cv); }
    uint16_t do_direct_readex(uint32_t cv) override { return note("direct_readex", cv); }
    void do_paged_write(uint32_t cv, uint8_t v) override { note("paged_write", cv, v); }
    uint16_t do_paged_read(uint32_t cv) override { return note("paged_read", cv); }
    void do_register_write(uint32_t r, uint8_t v) override { note("register_write", r, v); }
    uint16_t do_register_read(uint32_t r) override { return note("register_read", r); }
    void do_ops_write(uint32_t a, uint32_t cv, uint8_t v, bool fb) override { note("ops_write", a, cv, v, fb); }
    uint16_t do_ops_read(uint32_t a, uint32_t cv) override { return note("ops_read", a, cv); }
    uint16_t do_ops_readex(uint32_t a, uint32_t cv) override { return note("ops_readex", a, cv); }
    void do_sw(uint16_t n, uint16_t pos, bool on) override { note("sw", n, pos, on); }
    bool do_shutdown(uint8_t k) override { return note("shutdown", k), true; }
    int do_startup() override { return note("startup"), 0; }

private:
    template <class... A>
    uint16_t note(const char* name, A... args) {
        std::string s = std::string(name) + "(", sep;
        ((s += sep + std::to_string(+args), sep = ","), ...);
        calls.push_back(s + ")");
        if (fail)
            throw *fail;
        return read_result;
    }
};

// A host for a child window or consumer alone: it writes down what it is
// asked and keeps the reports unshown until `show_reports`.
struct recording_host : kvr_view_host {
    bool run_station_op(const QString& what, const std::function<void(kvr_dccx_loconet&)>&) override {
        ops.push_back(what.toStdString());
        return false;
    }
    kvr_slot_choice slot_choice() const override { return kvr_slot_choice::automatic; }
    void take_loco(int address) override { locos.push_back(address); }
    void set_turnout(int number, bool closed) override {
        turnouts.push_back(std::to_string(number) + (closed ? " closed" : " thrown"));
    }
    void report(std::function<void()> show) override { reports.push_back(std::move(show)); }
    bool remembered(const char* key, bool fallback) const override {
        const auto it = kept.find(key);
        return it == kept.end() ? fallback : it->second;
    }
    void remember(const char* key, bool on) override { kept[key] = on; }
    std::map<std::string, bool> kept;
    void show_reports() {
        for (const auto& show : reports) show();
        reports.clear();
    }
    std::vector<std::string> ops;
    std::vector<int> locos;
    std::vector<std::string> turnouts;
    std::vector<std::function<void()>> reports;
};

struct shown_box {
    std::string text, caption;
};

// A dialog over a fake link and a recording station, with prompts and
// message boxes written down instead of shown.
class dialog_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the dialog (after the test adjusted `env` and the settings).
    kvr_main_dlg& make_dialog();
    std::string ini_path() const { return dir.filePath("busprobe.ini").toStdString(); }
    std::string log_dir() const { return dir.path().toStdString(); }
    std::vector<std::string> calls() const { return station->calls; }

    void type(int id, const QString& text);
    void click(int id);
    QString text_of(int id) const;
    bool checked(int id) const;
    QString log_text();  // flushed first
    void connect_sim();  // picks "SIM" and connects

    QTemporaryDir dir;
    fake_link link;
    kvr_sys_event abort{true, false};
    kvr_main_dlg_env env;
    recording_station* station = nullptr;  // owned by the dialog
    std::unique_ptr<kvr_main_dlg> dlg;
    std::vector<QString> prompts;
    std::vector<shown_box> boxes;
};
