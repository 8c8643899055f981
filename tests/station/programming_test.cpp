// Service-mode and operations-mode programming against a scripted
// programmer: budgets, restarts, the evaluation of LACK and PSTAT, and the
// refusals of numbers that would wrap on the wire.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "fake_link.h"
#include "foundation/kvr_hooks.h"
#include "station/kvr_dccx_loconet.h"

namespace {

class Programming : public ::testing::Test {
protected:
    Programming() {
        station.set_waiter(&clock);
        link.set_abort_event(&abort);
        link.on_send = [this](const bytes& m) { answer(m); };
        kvr_set_tone_hook([this](unsigned hz, unsigned ms) {
            tones.emplace_back(hz, ms);
            tone_after_tasks.push_back(tasks());
        });
    }
    ~Programming() override { kvr_set_tone_hook({}); }

    // Answers each task with the next scripted answer; silent when none left.
    void answer(const bytes& m) {
        if (!is_task(m)) return;
        if (by_pattern) {
            deliver(by_pattern(m));
            return;
        }
        if (script.empty()) return;
        const task_answer a = script.front();
        script.pop_front();
        deliver(a);
    }
    void deliver(const task_answer& a) {
        if (a.lack != none) link.deliver(long_ack(0xEF, static_cast<uint8_t>(a.lack)));
        if (a.pstat != none) link.deliver(task_reply(static_cast<uint8_t>(a.pstat), a.value));
    }

    std::size_t tasks() const {
        std::size_t n = 0;
        for (const bytes& m : link.sent) n += is_task(m) ? 1 : 0;
        return n;
    }

    // Runs `call`, expecting a kvr_exception whose report begins with `labels`.
    template <class F>
    void expect_failure(F&& call, const std::vector<std::string>& labels, uint32_t inner_code = 0) {
        try {
            call();
            ADD_FAILURE() << "no exception, expected " << labels.back();
        } catch (const kvr_exception& e) {
            EXPECT_TRUE(has_labels(e, labels));
            const std::vector<std::string> lines = report_lines(e);
            if (inner_code != 0 && lines.size() >= labels.size()) {
                char tag[16];
                std::snprintf(tag, sizeof tag, "(%04x)", inner_code);
                EXPECT_NE(lines[labels.size() - 1].find(tag), std::string::npos) << e.message;
            }
        }
    }

    fake_link link;
    unit_clock clock;
    kvr_sys_event abort{true};
    std::deque<task_answer> script;
    std::function<task_answer(const bytes&)> by_pattern;
    std::vector<std::pair<unsigned, unsigned>> tones;
    std::vector<std::size_t> tone_after_tasks;
    kvr_dccx_loconet station{link};
};

TEST(ProgrammingAnswers, LackCodesDecideAcceptedBusyOrFailure) {
    EXPECT_TRUE(kvr_dccx_loconet::check_lack(0x01));
    EXPECT_FALSE(kvr_dccx_loconet::check_lack(0x00));
    const struct {
        uint8_t ack1;
        const char* text;
        uint32_t code;
    } failures[] = {{0x7F, "ERR:FUNCTION NOT IMPLEMENTED", 0},
                    {0x40, "NO REPLY", 64},
                    {0x02, "ERR: ", 0},
                    {0x41, "ERR: ", 0}};
    for (const auto& f : failures) {
        try {
            kvr_dccx_loconet::check_lack(f.ack1);
            ADD_FAILURE() << "no exception for " << int(f.ack1);
        } catch (const kvr_exception& e) {
            EXPECT_EQ(e.where, f.text);
            EXPECT_EQ(e.code, f.code);
        }
    }
}

TEST(ProgrammingAnswers, PstatBitsAreTestedInOrderFirstMatchWins) {
    const struct {
        uint8_t pstat;
        int result;  // 1 true, 0 false, -1 throws
        const char* text;
    } cases[] = {
        {0x00, 1, ""},
        {0xF0, 1, ""},  // bits 4..7 are not examined
        {0x02, 0, ""},
        {0x03, 0, ""},  // bit 1 before bit 0
        {0x01, -1, "No Decoder Detected"},
        {0x04, -1, "Fail to Detect Read Comparet"},
        {0x05, -1, "Fail to Detect Read Comparet"},
        {0x06, -1, "Fail to Detect Read Comparet"},
        {0x08, -1, "User Abort"},
        {0x0F, -1, "User Abort"},
    };
    for (const auto& c : cases) {
        if (c.result >= 0) {
            EXPECT_EQ(kvr_dccx_loconet::check_pstat(c.pstat), c.result == 1) << int(c.pstat);
            continue;
        }
        try {
            kvr_dccx_loconet::check_pstat(c.pstat);
            ADD_FAILURE() << "no exception for " << int(c.pstat);
        } catch (const kvr_exception& e) {
            EXPECT_EQ(e.where, c.text);
            EXPECT_EQ(e.code, 0u);
        }
    }
}

TEST_F(Programming, ReadsReturnTheValueOrNoWriteAcknowledge) {
    script = {{0x01, 0x00, 255}, {0x01, 0x02, 7}, {0x01, 0x03, 7}, {0x01, 0x00, 0x81}};
    EXPECT_EQ(station.do_paged_read(1, 255), 255);
    EXPECT_EQ(station.do_direct_read(29, 255), 0xFFFF);
    EXPECT_EQ(station.do_register_read(8, 255), 0xFFFF);
    EXPECT_EQ(station.do_paged_read(1024, 255), 0x81);
    EXPECT_TRUE(clock.units.empty());
    ASSERT_EQ(link.sent.size(), 4u);
    EXPECT_EQ(link.sent[2][3], 0x10);  // register read
    EXPECT_EQ(link.sent[2][9], 0x07);  // register 8 travels 0-based
}

TEST_F(Programming, AnswersReportedAsFailuresCarryTheOperationLabel) {
    script = {{0x01, 0x05}, {0x40, none}, {0x7F, none}, {0x22, none}, {0x01, 0x08}, {0x01, 0x01}};
    expect_failure([&] { station.do_paged_read(1, 255); },
                   {"kvr_dccx_loconet::do_paged_read()", "Fail to Detect Read Comparet"});
    expect_failure([&] { station.do_direct_read(1, 255); },
                   {"kvr_dccx_loconet::do_direct_read()", "NO REPLY"}, 64);
    expect_failure([&] { station.do_paged_write(1, 1); },
                   {"kvr_dccx_loconet::do_paged_write()", "ERR:FUNCTION NOT IMPLEMENTED"});
    expect_failure([&] { station.do_register_write(1, 1); },
                   {"kvr_dccx_loconet::do_register_write()", "ERR: "});
    expect_failure([&] { station.do_direct_write(1, 1); },
                   {"kvr_dccx_loconet::do_direct_write()", "User Abort"});
    expect_failure([&] { station.do_direct_bit_verify(1, 1, 0); },
                   {"kvr_dccx_loconet::do_direct_bit_verify()", "No Decoder Detected"});
    EXPECT_EQ(tasks(), 6u);  // nothing is retried after a failure
}

TEST_F(Programming, WritesWithoutWriteAcknowledgeFailWithTheirOwnText) {
    script = {{0x01, 0x02}, {0x01, 0x02}, {0x01, 0x02}, {0x01, 0x02}, {0x01, 0x02}};
    expect_failure([&] { station.do_paged_write(1, 1); },
                   {"kvr_dccx_loconet::do_paged_write()", "FAIL"});
    expect_failure([&] { station.do_register_write(1, 1); },
                   {"kvr_dccx_loconet::do_register_write()", "FAIL"});
    expect_failure([&] { station.do_direct_write(1, 1); },
                   {"kvr_dccx_loconet::do_direct_write()", "FAIL:"});
    expect_failure([&] { station.do_direct_bit_write(1, 1, 0); },
                   {"kvr_dccx_loconet::do_direct_bit_write()", "FAIL:"});
    expect_failure([&] { station.do_ops_write(3, 1, 1, true); },
                   {"kvr_dccx_loconet::do_ops_write()", "FAIL:"});
}

TEST_F(Programming, StaleAnswersOfAnEarlierTaskAreNeverTaken) {
    link.deliver(long_ack(0xEF, 0x01));
    link.deliver(task_reply(0x00, 99));
    // The new task's LACK comes at once, its final reply only after two units.
    script = {{0x01, none}};
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 2) link.deliver(task_reply(0x00, 42));
    };
    EXPECT_EQ(station.do_direct_read(1, 255), 42);
    EXPECT_EQ(clock.units.size(), 2u);

    // A stale LACK alone does not end the LACK phase either.
    link.deliver(long_ack(0xEF, 0x01));
    clock.units.clear();
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 4) deliver({0x01, 0x00, 17});
    };
    EXPECT_EQ(station.do_paged_read(1, 255), 17);
    EXPECT_EQ(tasks(), 3u);  // 1 + the first read and its restart after 3 units
}

TEST_F(Programming, BusyAnswersAndWaitsShareOneBudget) {
    // Busy, then silence: two waits finish the budget of three.
    script = {{0x00, none}};
    EXPECT_FALSE(station.do_direct_bit_write(1, 1, 0));
    EXPECT_EQ(tasks(), 2u);
    EXPECT_EQ(clock.units.size(), 2u);

    // Busy three times: the task goes on to wait for a final reply all the
    // same, and gives up after the reply budget.
    link.sent.clear();
    clock.units.clear();
    script = {{0x00, none}, {0x00, none}, {0x00, none}};
    EXPECT_FALSE(station.do_direct_bit_write(1, 1, 0));
    EXPECT_EQ(tasks(), 3u);
    EXPECT_EQ(clock.units, (std::vector<unsigned>(10, 500)));

    // A read restarts after busy-then-silence as soon as the budget is gone.
    link.sent.clear();
    clock.units.clear();
    script = {{0x00, none}, {none, none}, {0x01, 0x00, 9}};
    EXPECT_EQ(station.do_paged_read(1, 255), 9);
    EXPECT_EQ(tasks(), 3u);
    EXPECT_EQ(clock.units.size(), 2u);

    // After three busy answers a read waits its whole reply budget first.
    link.sent.clear();
    clock.units.clear();
    script = {{0x00, none}, {0x00, none}, {0x00, none}, {0x01, 0x00, 4}};
    EXPECT_EQ(station.do_paged_read(1, 255), 4);
    EXPECT_EQ(tasks(), 4u);
    EXPECT_EQ(clock.units.size(), 60u);
}

TEST_F(Programming, BitWriteGivesUpWhereOthersRestart) {
    // No answer at all: false after the three LACK waits.
    EXPECT_FALSE(station.do_direct_bit_write(1, 1, 0));
    EXPECT_EQ(tasks(), 1u);
    EXPECT_EQ(clock.units.size(), 3u);

    // A LACK but no final reply: false after ten more.
    link.sent.clear();
    clock.units.clear();
    script = {{0x01, none}};
    EXPECT_FALSE(station.do_direct_bit_write(1, 1, 0));
    EXPECT_EQ(tasks(), 1u);
    EXPECT_EQ(clock.units.size(), 10u);

    // The same silence makes a paged write start over.
    link.sent.clear();
    clock.units.clear();
    script = {{0x01, none}, {0x01, 0x00}};
    station.do_paged_write(1, 1);
    EXPECT_EQ(tasks(), 2u);
    EXPECT_EQ(clock.units.size(), 10u);
    EXPECT_TRUE(tones.empty());

    // A read waits sixty units for its final reply before it starts over.
    link.sent.clear();
    clock.units.clear();
    script = {{0x01, none}, {0x01, 0x00, 1}};
    EXPECT_EQ(station.do_direct_read(1, 255), 1);
    EXPECT_EQ(tasks(), 2u);
    EXPECT_EQ(clock.units.size(), 60u);
    EXPECT_TRUE(tones.empty());
}

TEST_F(Programming, DirectWriteSoundsTheToneBeforeEachRestart) {
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 7) deliver({0x01, 0x00});
    };
    station.do_direct_write(1, 3);
    EXPECT_EQ(tasks(), 3u);
    EXPECT_EQ(tones, (std::vector<std::pair<unsigned, unsigned>>(2, {1200, 200})));
    EXPECT_EQ(tone_after_tasks, (std::vector<std::size_t>{1, 2}));
}

TEST_F(Programming, OpsWriteWithoutFeedbackEndsWithItsLack) {
    script = {{0x40, none}};
    station.do_ops_write(3, 3, 10, false);  // "NO REPLY" is success here
    script = {{0x01, none}};
    station.do_ops_write(3, 3, 10, false);  // no final reply awaited
    script = {{0x00, none}, {0x00, none}, {0x00, none}};
    station.do_ops_write(3, 3, 10, false);  // busy answers used the budget
    EXPECT_TRUE(clock.units.empty());
    EXPECT_EQ(tasks(), 5u);
    EXPECT_EQ(hex(link.sent[0]), "EF 0E 7C 64 00 00 03 00 00 02 0A 00 00 0D");

    script = {{0x7F, none}};
    expect_failure([&] { station.do_ops_write(3, 3, 10, false); },
                   {"kvr_dccx_loconet::do_ops_write()", "ERR:FUNCTION NOT IMPLEMENTED"});
}

TEST_F(Programming, OpsWriteWithFeedbackTakesNoReplyAsFailure) {
    script = {{0x40, none}};
    expect_failure([&] { station.do_ops_write(1234, 3, 10, true); },
                   {"kvr_dccx_loconet::do_ops_write()", "NO REPLY"}, 64);
    script = {{0x01, 0x00}};
    station.do_ops_write(1234, 3, 10, true);
    EXPECT_EQ(hex(link.sent.back()), "EF 0E 7C 6C 00 09 52 00 00 02 0A 00 00 5D");
    script = {{0x01, 0x02}};
    EXPECT_EQ(station.do_ops_read(3, 29, 0), 0xFFFF);
    EXPECT_EQ(hex(link.sent.back()), "EF 0E 7C 24 00 00 03 00 00 1C 00 00 00 59");
}

// A decoder whose CV holds `value`: bit verifies of 1 succeed where it has 1s.
task_answer decoder_holding(uint8_t value, const bytes& task) {
    const int bit = task[10] & 0x07;
    return {0x01, ((value >> bit) & 1) ? 0x00 : 0x02};
}

TEST_F(Programming, ReadByBitVerifiesAssemblesBitsZeroToSeven) {
    by_pattern = [](const bytes& m) { return decoder_holding(5, m); };
    EXPECT_EQ(station.do_direct_readex(29, 0), 5);
    ASSERT_EQ(tasks(), 8u);
    for (int bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(link.sent[bit][3], 0x08);
        EXPECT_EQ(link.sent[bit][10], 0x68 + bit);
    }

    link.sent.clear();
    by_pattern = [](const bytes& m) { return decoder_holding(0xA5, m); };
    EXPECT_EQ(station.do_ops_readex(1234, 29, 0), 0xA5);
    ASSERT_EQ(tasks(), 8u);
    EXPECT_EQ(link.sent[7][3], 0x0C);
    EXPECT_EQ(link.sent[7][5], 0x09);
    EXPECT_EQ(link.sent[7][10], 0x6F);
}

TEST_F(Programming, FailedBitVerifyEndsTheWholeRead) {
    by_pattern = [this](const bytes&) {
        return task_answer{0x01, tasks() == 3 ? 0x04 : 0x00};
    };
    expect_failure([&] { station.do_direct_readex(1, 0); },
                   {"kvr_dccx_loconet::do_direct_readex()",
                    "kvr_dccx_loconet::do_direct_bit_verify()", "Fail to Detect Read Comparet"});
    EXPECT_EQ(tasks(), 3u);
}

TEST_F(Programming, CancelEndsTheFirstWaitAfterTheTaskIsQueued) {
    abort.set();
    expect_failure([&] { station.do_paged_read(1, 255); },
                   {"kvr_dccx_loconet::do_paged_read()", "CANCEL"});
    EXPECT_EQ(tasks(), 1u);
    expect_failure([&] { station.do_ops_readex(3, 1, 0); },
                   {"kvr_dccx_loconet::do_ops_readex()", "kvr_dccx_loconet::do_ops_bit_verify()",
                    "CANCEL"});
}

TEST_F(Programming, NumbersThatWouldWrapAreRefusedBeforeAnythingIsQueued) {
    struct refusal {
        const char* label;
        std::function<void(kvr_dccx_loconet&)> call;
        const char* text;
    };
    const char* cv = "ERR:CV MUST BE 1 TO 1024";
    const char* reg = "ERR:REGISTER MUST BE 1 TO 8";
    const char* ops = "ERR:OPS ADDRESS MUST BE 1 TO 16383";
    const refusal cases[] = {
        {"do_paged_read", [](auto& s) { s.do_paged_read(0, 255); }, cv},
        {"do_paged_read", [](auto& s) { s.do_paged_read(1025, 255); }, cv},
        {"do_direct_read", [](auto& s) { s.do_direct_read(0, 255); }, cv},
        {"do_direct_readex", [](auto& s) { s.do_direct_readex(2000, 255); }, cv},
        {"do_paged_write", [](auto& s) { s.do_paged_write(0, 1); }, cv},
        {"do_direct_write", [](auto& s) { s.do_direct_write(1025, 1); }, cv},
        {"do_direct_bit_write", [](auto& s) { s.do_direct_bit_write(0, 1, 1); }, cv},
        {"do_direct_bit_verify", [](auto& s) { s.do_direct_bit_verify(1025, 1, 1); }, cv},
        {"do_direct_bit_verify", [](auto& s) { s.do_direct_bit_verify(1, 1, 8); },
         "ERR:BIT NUMBER MUST BE 0 TO 7"},
        {"do_register_read", [](auto& s) { s.do_register_read(0, 255); }, reg},
        {"do_register_write", [](auto& s) { s.do_register_write(9, 1); }, reg},
        {"do_ops_write", [](auto& s) { s.do_ops_write(0, 1, 1, false); }, ops},
        {"do_ops_write", [](auto& s) { s.do_ops_write(16384, 1, 1, false); }, ops},
        {"do_ops_write", [](auto& s) { s.do_ops_write(3, 0, 1, false); }, cv},
        {"do_ops_read", [](auto& s) { s.do_ops_read(0, 1, 0); }, ops},
        {"do_ops_readex", [](auto& s) { s.do_ops_readex(3, 1025, 0); }, cv},
        {"do_ops_bit_verify", [](auto& s) { s.do_ops_bit_verify(0, 1, 1, 1); }, ops},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.label);
        expect_failure([&] { c.call(station); },
                       {std::string("kvr_dccx_loconet::") + c.label + "()", c.text});
    }
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(clock.units.empty());
}

TEST_F(Programming, ExtendedAddressInDirectModeWaitsForTheCv29BitWrite) {
    // The bit write's final reply comes only after two units; the CV 17
    // write must not be queued before it.
    std::size_t units_when_cv17_queued = 0;
    link.on_send = [&](const bytes& m) {
        if (!is_task(m)) return;
        if (m[3] == 0x48) {
            link.deliver(long_ack(0xEF, 0x01));
            return;
        }
        if (m[9] == 0x10) units_when_cv17_queued = clock.units.size();
        deliver({0x01, 0x00});
    };
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 2) link.deliver(task_reply(0x00));
    };
    station.do_write_ex_address(1, 0xC4, 0xD2);
    EXPECT_EQ(units_when_cv17_queued, 2u);
    const bytes cv17 = with_checksum({0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x44, 0, 0});
    const bytes cv18 = with_checksum({0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x11, 0x52, 0, 0});
    EXPECT_EQ(hex_all(link.sent),
              (std::vector<std::string>{"EF 0E 7C 48 00 00 00 00 02 1C 6D 00 00 59", hex(cv17),
                                        hex(cv18)}));
}

TEST_F(Programming, ExtendedAddressStopsWhenTheCv29BitWriteFails) {
    script = {{0x01, 0x02}};
    expect_failure([&] { station.do_write_ex_address(1, 0xC4, 0xD2); },
                   {"kvr_dccx_loconet::do_write_ex_address()",
                    "kvr_dccx_loconet::do_direct_bit_write()", "FAIL:"});
    EXPECT_EQ(tasks(), 1u);

    // Unanswered: a late answer could be taken for CV 17's, so stop too.
    link.sent.clear();
    expect_failure([&] { station.do_write_ex_address(1, 0xC4, 0xD2); },
                   {"kvr_dccx_loconet::do_write_ex_address()", "ERR:CV29 BIT WRITE NOT ANSWERED"});
    EXPECT_EQ(tasks(), 1u);
    EXPECT_EQ(clock.units.size(), 3u);
}

TEST_F(Programming, ExtendedAddressInOtherModes) {
    script = {{0x01, 0x00}, {0x01, 0x00}};
    station.do_write_ex_address(0, 0xC4, 0xD2);
    ASSERT_EQ(tasks(), 2u);  // paged mode leaves CV 29 alone
    EXPECT_EQ(link.sent[0][3], 0x60);
    EXPECT_EQ(link.sent[0][9], 0x10);
    EXPECT_EQ(link.sent[0][10], 0x44);
    EXPECT_EQ(link.sent[1][9], 0x11);

    link.sent.clear();
    expect_failure([&] { station.do_write_ex_address(2, 0xC4, 0xD2); },
                   {"kvr_dccx_loconet::do_write_ex_address()", "ERR:OPS MODE IS NOT SUPPORTED"});
    station.do_write_ex_address(3, 0xC4, 0xD2);
    EXPECT_TRUE(link.sent.empty());

    script = {{0x01, 0x00}, {0x01, 0x02}};
    expect_failure([&] { station.do_write_ex_address(0, 1, 2); },
                   {"kvr_dccx_loconet::do_write_ex_address()",
                    "kvr_dccx_loconet::do_paged_write()", "FAIL"});
}

}  // namespace
