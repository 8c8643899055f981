// The simulated devices (SV2 module, LNCV module, a board) on the station's
// bus, at message level. Golden bytes are the examples of PROTOCOL-FACTS.md
// (SV programming) and PROTOCOL-MODERN.md §2-§4; other requests are built
// with the codecs of loconet/kvr_device_msgs.h.

#include <gtest/gtest.h>

#include "loconet/kvr_device_msgs.h"
#include "station_bus.h"

namespace {

bytes of(const kvr_loconet_msg& m) { return bytes(m.data(), m.data() + m.length()); }

// The SV2 reply among the answers, if exactly one came and it is one.
std::optional<kvr_sv2_msg> sv2_reply(const msgs& answers) {
    if (answers.size() != 1) return std::nullopt;
    return kvr_parse_sv2(to_msg(answers[0]));
}
std::optional<kvr_lncv_msg> lncv_reply(const msgs& answers) {
    if (answers.size() != 1) return std::nullopt;
    return kvr_parse_lncv(to_msg(answers[0]));
}

bytes lack(uint8_t opcode_low, uint8_t code) { return with_checksum({0xB4, opcode_low, code}); }

constexpr uint16_t article = 6861;

}  // namespace

// PROTOCOL-MODERN.md §3 examples: the discover reply of device 3
// (manufacturer 13, developer 1, product 0x1234, serial 0x5678) and the
// reconfigure request to device 3, answered 4F with the identity.
TEST(SimDevices, Sv2ModuleAnswersDiscoverIdentifyAndReconfigureWithItsIdentity) {
    bus b;
    EXPECT_EQ(b.answers(of(kvr_build_sv2(kvr_sv2_discover()))),
              (msgs{{0xE5, 0x10, 0x01, 0x47, 0x02, 0x10, 0x03, 0x00, 0x0D, 0x01, 0x10, 0x34, 0x12, 0x78, 0x56, 0x49}}));
    auto id = sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_identify(3)))));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->cmd, 0x48);
    EXPECT_EQ(kvr_sv2_identity_of(*id), kvr_sim_devices::sv2_identity);
    EXPECT_TRUE(b.answers(of(kvr_build_sv2(kvr_sv2_identify(4)))).empty()) << "another address";
    auto re = sv2_reply(b.answers({0xE5, 0x10, 0x01, 0x0F, 0x02, 0x10, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                                   0x00, 0x00, 0x05}));
    ASSERT_TRUE(re);
    EXPECT_EQ(re->cmd, 0x4F);
    EXPECT_EQ(re->dst, 3);
    EXPECT_EQ(kvr_sv2_identity_of(*re), kvr_sim_devices::sv2_identity);
    // Devices keep the requester's SRC.
    kvr_sv2_msg from_other = kvr_sv2_discover();
    from_other.src = 0x50;
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(from_other))))->src, 0x50);
}

// Reads and writes keep the SVs across requests; values with bit 7 travel
// in SVX2; refusals are the LACKs PROTOCOL-MODERN.md §3 lists.
TEST(SimDevices, Sv2ModuleReadsAndWritesItsSvs) {
    bus b;
    auto r = sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_read(3, 1)))));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->cmd, 0x42);
    EXPECT_EQ(r->d[0], 3) << "SV 1 = its address";

    auto w = sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_write(3, 5, 200)))));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->cmd, 0x41);
    EXPECT_EQ(w->d[0], 200);
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_read(3, 5)))))->d[0], 200);

    const uint8_t four[4] = {10, 20, 130, 40};
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_write_four(3, 10, four)))))->cmd, 0x45);
    auto r4 = sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_read(3, 10, true)))));
    ASSERT_TRUE(r4);
    EXPECT_EQ((bytes{r4->d[0], r4->d[1], r4->d[2], r4->d[3]}), (bytes{10, 20, 130, 40}));

    kvr_sv2_msg masked = kvr_sv2_write(3, 10, 0x05);
    masked.cmd = kvr_sv2::masked_write;
    masked.d[1] = 0x0F;  // 10 = 0x0A: the low nibble becomes 5
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(masked))))->d[0], 0x05);

    // To every device (DST 0) as to its own address.
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_write(0, 6, 9)))))->dst, 3);
    EXPECT_EQ(b.station.devices().sv(6), 9);

    EXPECT_EQ(b.answers(of(kvr_build_sv2(kvr_sv2_write(3, 0, 9)))), (msgs{lack(0x65, 0x2C)})) << "SV 0 read-only";
    EXPECT_EQ(b.answers(of(kvr_build_sv2(kvr_sv2_read(3, 300)))), (msgs{lack(0x65, 0x2B)}));
    EXPECT_EQ(b.answers(of(kvr_build_sv2(kvr_sv2_write_four(3, 254, four)))), (msgs{lack(0x65, 0x2C)}));
    EXPECT_EQ(b.station.devices().sv(254), 0) << "a refused write four changes nothing";
    EXPECT_TRUE(b.answers(of(kvr_build_sv2(kvr_sv2_write(9, 5, 1)))).empty()) << "another address";
    EXPECT_EQ(b.station.devices().sv(5), 200);
}

// Change address by identity takes effect at once; SV 1/2 written take
// effect when the module restarts after reconfigure.
TEST(SimDevices, Sv2ModuleChangesItsAddress) {
    bus b;
    kvr_sv2_identity wrong = kvr_sim_devices::sv2_identity;
    wrong.serial = 1;
    EXPECT_TRUE(b.answers(of(kvr_build_sv2(kvr_sv2_change_address(7, wrong)))).empty());
    auto c = sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_change_address(7, kvr_sim_devices::sv2_identity)))));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cmd, 0x49);
    EXPECT_EQ(c->dst, 7);
    EXPECT_TRUE(b.answers(of(kvr_build_sv2(kvr_sv2_identify(3)))).empty());
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_read(7, 1)))))->d[0], 7);

    b.answers(of(kvr_build_sv2(kvr_sv2_write(7, 1, 12))));
    EXPECT_EQ(b.station.devices().sv2_address(), 7) << "not before the restart";
    EXPECT_EQ(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_reconfigure(7)))))->dst, 7) << "answers, then restarts";
    EXPECT_EQ(b.station.devices().sv2_address(), 12);
    EXPECT_TRUE(sv2_reply(b.answers(of(kvr_build_sv2(kvr_sv2_identify(12))))));
}

// PROTOCOL-MODERN.md §2: the real read of LNCV 1 of article 6861, module 1,
// and its reply (LNCV 1 = 2), inside a start/end session; outside one the
// module keeps quiet, and the end leaves no module in programming mode.
TEST(SimDevices, LncvModuleAnswersOnlyInsideASession) {
    bus b;
    const bytes read_lncv1 = {0xED, 0x0F, 0x01, 0x05, 0x00, 0x21, 0x01, 0x4D, 0x1A, 0x01, 0x00, 0x01, 0x00, 0x00, 0x6E};
    EXPECT_TRUE(b.answers(read_lncv1).empty()) << "no session, and the station takes ED 0F for no packet";

    auto start = lncv_reply(b.answers(of(kvr_build_lncv(kvr_lncv_start(article, 1)))));
    ASSERT_TRUE(start);
    EXPECT_EQ(start->cv, 0);
    EXPECT_EQ(start->value, 1) << "LNCV 0 = its address";
    EXPECT_TRUE(b.station.devices().lncv_programming());
    EXPECT_EQ(b.answers(read_lncv1),
              (msgs{{0xE5, 0x0F, 0x05, 0x49, 0x4B, 0x1F, 0x01, 0x4D, 0x1A, 0x01, 0x00, 0x02, 0x00, 0x00, 0x58}}));

    EXPECT_EQ(b.answers(of(kvr_build_lncv(kvr_lncv_write(article, 3, 100)))), (msgs{lack(0x6D, 0x7F)}));
    EXPECT_EQ(lncv_reply(b.answers(of(kvr_build_lncv(kvr_lncv_read(article, 1, 3)))))->value, 100);
    struct refusal {
        uint16_t cv, value;
        uint8_t code;
    };
    for (const refusal& r : {refusal{16, 1, 0x01}, refusal{15, 1, 0x02}, refusal{3, 256, 0x03}, refusal{0, 0, 0x03}})
        EXPECT_EQ(b.answers(of(kvr_build_lncv(kvr_lncv_write(article, r.cv, r.value)))), (msgs{lack(0x6D, r.code)}))
            << "LNCV " << r.cv;
    EXPECT_EQ(b.station.devices().lncv(3), 100) << "refused writes change nothing";
    EXPECT_EQ(b.answers(of(kvr_build_lncv(kvr_lncv_read(article, 1, 40)))), (msgs{lack(0x6D, 0x01)}));
    EXPECT_TRUE(b.answers(of(kvr_build_lncv(kvr_lncv_write(1234, 3, 1)))).empty()) << "another article";

    EXPECT_TRUE(b.answers(of(kvr_build_lncv(kvr_lncv_end(article, 1)))).empty());
    EXPECT_FALSE(b.station.devices().lncv_programming());
    EXPECT_TRUE(b.answers(of(kvr_build_lncv(kvr_lncv_write(article, 3, 5)))).empty());
    EXPECT_EQ(b.station.devices().lncv(3), 100);
}

// A discover by start (article and address 0xFFFF) enters programming mode
// as a start does, so the discoverer must end it (also in the E5 form);
// a requester other than SRC 01 gets the reply addressed to itself; a new
// module address counts from the end of the session.
TEST(SimDevices, LncvDiscoverEntersProgrammingAndANewAddressCountsFromTheEnd) {
    bus b;
    kvr_lncv_msg discover = kvr_lncv_discover();
    discover.src = 0x08;
    auto found = lncv_reply(b.answers(of(kvr_build_lncv(discover))));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->article, article);
    EXPECT_EQ(found->value, 1);
    EXPECT_EQ(found->dst, 0x0008);
    EXPECT_TRUE(b.station.devices().lncv_programming());

    EXPECT_EQ(b.answers(of(kvr_build_lncv(kvr_lncv_write(article, 0, 17)))), (msgs{lack(0x6D, 0x7F)}));
    EXPECT_EQ(b.station.devices().lncv_address(), 1);
    kvr_lncv_msg end = kvr_lncv_end(article, 1);
    end.reply = true;  // seen as E5 0F as well
    EXPECT_TRUE(b.answers(of(kvr_build_lncv(end))).empty());
    EXPECT_FALSE(b.station.devices().lncv_programming());
    EXPECT_EQ(b.station.devices().lncv_address(), 17);
    EXPECT_TRUE(b.answers(of(kvr_build_lncv(kvr_lncv_start(article, 1)))).empty()) << "the old address";
    EXPECT_TRUE(lncv_reply(b.answers(of(kvr_build_lncv(kvr_lncv_start(article, 17))))));
}

// PROTOCOL-MODERN.md §4 boards: D0 62 00 71 04 38 reads OpSw 3 of
// occupancy detector board 1; a write closes it (B4 50 7F) and the read
// answers closed (bit 5); the query of every board gets its type report.
TEST(SimDevices, BoardAnswersOpSwAccessAndTheTypeQuery) {
    bus b;
    const bytes read_opsw3 = {0xD0, 0x62, 0x00, 0x71, 0x04, 0x38};
    EXPECT_EQ(b.answers(read_opsw3), (msgs{lack(0x50, 0x00)}));
    EXPECT_EQ(b.answers(with_checksum({0xD0, 0x72, 0x00, 0x71, 0x05})), (msgs{lack(0x50, 0x7F)}));
    EXPECT_EQ(b.answers(read_opsw3), (msgs{lack(0x50, 0x20)}));
    EXPECT_TRUE(b.station.devices().board_opsw(3));
    EXPECT_FALSE(b.station.devices().board_opsw(4));
    EXPECT_EQ(b.answers(with_checksum({0xD0, 0x62, 0x00, 0x70, 0x00})), (msgs{with_checksum({0xD0, 0x62, 0x00, 0x01, 0x03})}));
    EXPECT_TRUE(b.answers(with_checksum({0xD0, 0x62, 0x01, 0x71, 0x04})).empty()) << "board 2";
    EXPECT_TRUE(b.answers(with_checksum({0xD0, 0x62, 0x00, 0x73, 0x04})).empty()) << "a stationary decoder";
}

// Without devices nobody answers their requests (so a tool's "no answer"
// path can be tried); the station's own option switches still answer.
// With the default timing each answer comes after the acknowledge delay.
TEST(SimDevices, NoDevicesMeansSilenceAndAnswersTakeTheAckDelay) {
    bus quiet({.instant = true, .devices = false});
    EXPECT_TRUE(quiet.answers(of(kvr_build_sv2(kvr_sv2_discover()))).empty());
    EXPECT_TRUE(quiet.answers(of(kvr_build_lncv(kvr_lncv_discover()))).empty());
    EXPECT_TRUE(quiet.answers({0xD0, 0x62, 0x00, 0x71, 0x04, 0x38}).empty());
    EXPECT_EQ(quiet.answers({0xBB, 0x7F, 0x00, 0x3B}).size(), 1u);

    bus timed(kvr_sim_options{});
    EXPECT_TRUE(timed.answers(of(kvr_build_sv2(kvr_sv2_discover()))).empty());
    EXPECT_TRUE(timed.after(milliseconds(19)).empty());
    EXPECT_EQ(timed.after(milliseconds(1)).size(), 1u);
}
