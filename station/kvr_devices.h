#pragma once
// The devices on the bus: finding them, reading and changing their settings.
// Exchanges built on the command station (kvr_dccx_loconet.h): its reply
// stores file the devices' answers, its waits end at the abort event, and
// what an exchange queues is withdrawn when it fails, except the end of an
// LNCV session, which must reach the module in every case.
//
//   SV2 read SV 10 of device 3     E5 10 01 02 02 10 03 00 0A 00 10 00 00 00 00 CK
//                                  -> E5 10 01 42 ... D1 = the value
//   SV2 discover                   E5 10 01 07 02 10 00 00 00 00 10 00 00 00 00 CK
//                                  -> one 47 per device, with its identity
//   LNCV session, article 6861     start (21, flags 80, module) -> 1F LNCV 0 = module
//                                  read (21) -> 1F; write (20) -> B4 6D 7F
//                                  end (21, flags 40), no answer
//   command-station OpSw           BB 7F 00 -> E7 0E 7F ...; EF 0E 7F ... -> B4 6F 7F
//   board OpSw                     D0 62 .. -> B4 50 vv (vv bit 5 closed)
//
// Every write is read back: a value that differs, or no answer, fails and
// the report names the device, the variable and what came back.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "loconet/kvr_device_msgs.h"

class kvr_dccx_loconet;

// One device as its answer shows it.
struct kvr_device_found {
    enum class protocol : uint8_t { sv2, lncv };
    protocol kind = protocol::sv2;
    uint16_t address = 0;       // SV2 destination, LNCV module address
    kvr_sv2_identity identity;  // SV2
    uint16_t article = 0;       // LNCV
    bool operator==(const kvr_device_found&) const = default;
};

// The device an answer names: an SV2 discover, identify or change-address
// reply, or an LNCV read reply of LNCV 0 (the module address). Nothing for
// other messages. Answers that other programs cause count too.
std::optional<kvr_device_found> kvr_device_from_answer(const kvr_loconet_msg& msg);

// One line for a device, the same for the command-line tool and the window:
//   "sv2 3 manufacturer 13 developer 1 product 4660 serial 22136"
//   "lncv 1 article 6861"
std::string kvr_device_line(const kvr_device_found& d);

struct kvr_device_timing {
    unsigned reply_ms = 1000;     // one wait for a device's answer
    unsigned tries = 2;           // requests sent before a silence fails
    unsigned board_wait_ms = 500; // a board's answer to an OpSw request
    unsigned board_tries = 3;     // the request and two retries
    unsigned board_gap_ms = 20;   // between two board requests
};

class kvr_devices {
public:
    explicit kvr_devices(kvr_dccx_loconet& station, kvr_device_timing timing = {});

    // Sends the SV2 discover and the LNCV discover for every article and for
    // each of `articles`, and collects the answers for `wait_ms`. Each LNCV
    // module that answered is sent the end of its session. The devices in
    // the order they answered, each once.
    // Without `lncv` only the SV2 discover goes out.
    std::vector<kvr_device_found> do_discover(const std::vector<uint16_t>& articles, unsigned wait_ms,
                                              bool lncv = true);

    // SV2. `count` SVs from `sv` (read four at a time where four are left).
    std::vector<uint8_t> do_sv_read(uint16_t dst, uint16_t sv, unsigned count = 1);
    // Writes one SV and reads it back.
    // Writes one SV, or four from `sv` in one message, and reads back. To
    // the broadcast address every device that answers the read back must
    // show the values.
    void do_sv_write(uint16_t dst, uint16_t sv, uint8_t value);
    void do_sv_write_four(uint16_t dst, uint16_t sv, const std::array<uint8_t, 4>& values);
    // The device whose identity is `id` takes `new_dst`; checked by an
    // identify at the new address.
    void do_sv_change_address(const kvr_sv2_identity& id, uint16_t new_dst);
    // The identity of the device at `dst` (identify, 08 -> 48).
    kvr_sv2_identity do_sv_identify(uint16_t dst);
    // The device restarts after its answer (0F -> 4F).
    void do_sv_reconfigure(uint16_t dst);

    // LNCV: each call is one session, start to end; the end goes out also
    // when the session fails or is cancelled.
    using lncv_progress = std::function<void(uint16_t cv, uint16_t value)>;
    std::vector<uint16_t> do_lncv_read(uint16_t article, uint16_t module, uint16_t cv, unsigned count = 1,
                                       const lncv_progress& progress = {});
    void do_lncv_write(uint16_t article, uint16_t module, uint16_t cv, uint16_t value);

    // The command station's option switches: the slot holding OpSw 1-64
    // (slot 127) or 65-128 (slot 126, only where slot 127 shows TRK bit 6).
    kvr_loconet_msg do_cs_opsw_read(uint8_t slot = kvr_slot_opsw);
    // Reads, changes the switches given (number -> closed), writes, and
    // reads back; OpSw 8, 16 ... cannot be written and are refused.
    void do_cs_opsw_write(const std::vector<std::pair<int, bool>>& changes);

    // A board's option switch: true closed.
    bool do_board_opsw_read(uint8_t type, uint16_t board, uint8_t opsw);
    void do_board_opsw_write(uint8_t type, uint16_t board, uint8_t opsw, bool closed);

    const kvr_device_timing& timing() const { return timing_; }

private:
    std::vector<kvr_loconet_msg> answers_since(uint64_t mark) const;
    // The device log's mark, the acknowledge of `ack_opcode` forgotten first (0: none).
    uint64_t mark_forgetting(uint8_t ack_opcode) const;
    std::optional<kvr_loconet_msg> ack_for(uint8_t opcode) const;
    // True once `done()` holds, looking again at every filed reply, for up to `ms`.
    bool await(const std::function<bool()>& done, unsigned ms);
    // `who` names the device in a failure; empty: by the request's address.
    kvr_sv2_msg sv_exchange(const kvr_sv2_msg& request, uint8_t reply_cmd, const std::string& what,
                            const std::string& who = {});
    void sv_write(uint16_t dst, uint16_t sv, const std::vector<uint8_t>& values);
    uint16_t lncv_read_one(uint16_t article, uint16_t module, uint16_t cv, bool start);
    void lncv_session(uint16_t article, uint16_t module, const std::function<void()>& body);
    kvr_loconet_msg cs_slot(uint8_t slot);
    std::optional<kvr_loconet_msg> board_answer(const kvr_board_opsw_msg& m);

    kvr_dccx_loconet& station_;
    kvr_device_timing timing_;
};
