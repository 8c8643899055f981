// Service-mode and operations-mode programming against a scripted
// programmer: budgets, restarts, the evaluation of LACK and PSTAT, Cancel,
// and the refusals of numbers that would wrap on the wire.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_link.h"

namespace {

class Programming : public Station {};

TEST(ProgrammingAnswers, LackAndPstatCodesDecideTheOutcome) {
    // "true", "false", or the failure's text and code; the operations'
    // failures below cover the other codes.
    auto outcomes = [](bool (*check)(uint8_t), std::initializer_list<uint8_t> codes) {
        std::string out;
        for (uint8_t code : codes) {
            try {
                out += check(code) ? "true|" : "false|";
            } catch (const kvr_exception& e) {
                out += e.where + " " + std::to_string(e.code) + "|";
            }
        }
        return out;
    };
    EXPECT_EQ(outcomes(kvr_dccx_loconet::check_lack, {0x01, 0x00, 0x41}), "true|false|ERR:  0|");
    // Bits 4..7 are not examined; bit 1 decides before bit 0.
    EXPECT_EQ(outcomes(kvr_dccx_loconet::check_pstat, {0x00, 0xF0, 0x02, 0x03, 0x04, 0x0F}),
              "true|true|false|false|Fail to Detect Read Comparet 0|User Abort 0|");
}

TEST_F(Programming, ReadsReturnTheValueOrNoWriteAcknowledge) {
    script = {{0x01, 0x00, 255}, {0x01, 0x02, 7}, {0x01, 0x03, 7}, {0x01, 0x00, 0x81}};
    EXPECT_EQ(station.do_paged_read(1), 255);
    EXPECT_EQ(station.do_direct_read(29), 0xFFFF);
    EXPECT_EQ(station.do_register_read(8), 0xFFFF);
    EXPECT_EQ(station.do_paged_read(1024), 0x81);
    EXPECT_TRUE(clock.units.empty());
    ASSERT_EQ(link.sent.size(), 4u);
    EXPECT_EQ(link.sent[2][3], 0x10);  // register read
    EXPECT_EQ(link.sent[2][9], 0x07);  // register 8 travels 0-based
    script = {{0x01, 0x02}};
    EXPECT_EQ(station.do_ops_read(3, 29), 0xFFFF);
}

// A call of one operation and the operation's name, which its failures carry.
#define OP(name, ...) [](kvr_dccx_loconet& s) { s.name(__VA_ARGS__); }, #name

TEST_F(Programming, FailuresCarryTheOperationLabelAndAreNotRetried) {
    const struct {
        std::function<void(kvr_dccx_loconet&)> call;
        const char* name;
        task_answer answer;
        const char* text;
        uint32_t code = 0;
    } cases[] = {
        {OP(do_paged_read, 1), {0x01, 0x05}, "Fail to Detect Read Comparet"},
        {OP(do_direct_read, 1), {0x40, none}, "NO REPLY", 64},
        {OP(do_paged_write, 1, 1), {0x7F, none}, "ERR:FUNCTION NOT IMPLEMENTED"},
        {OP(do_register_write, 1, 1), {0x22, none}, "ERR: "},
        {OP(do_direct_write, 1, 1), {0x01, 0x08}, "User Abort"},
        {OP(do_direct_bit_verify, 1, 1, 0), {0x01, 0x01}, "No Decoder Detected"},
        // Writes the decoder did not acknowledge, each with its own text.
        {OP(do_paged_write, 1, 1), {0x01, 0x02}, "FAIL"},
        {OP(do_register_write, 1, 1), {0x01, 0x02}, "FAIL"},
        {OP(do_direct_write, 1, 1), {0x01, 0x02}, "FAIL:"},
        {OP(do_direct_bit_write, 1, 1, 0), {0x01, 0x02}, "FAIL:"},
        {OP(do_ops_write, 3, 1, 1, true), {0x01, 0x02}, "FAIL:"},
        // With feedback asked for, "NO REPLY" is a failure.
        {OP(do_ops_write, 1234, 3, 10, true), {0x40, none}, "NO REPLY", 64},
        {OP(do_ops_write, 3, 3, 10, false), {0x7F, none}, "ERR:FUNCTION NOT IMPLEMENTED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        link.sent.clear();
        script = {c.answer};
        expect_failure([&] { c.call(station); }, {op(c.name), c.text}, c.code);
        EXPECT_EQ(tasks(), 1u);
        // Each report opens with a line in plain words.
        script = {c.answer};
        try {
            c.call(station);
        } catch (const kvr_exception& e) {
            EXPECT_FALSE(e.plain.empty()) << e.message;
            EXPECT_EQ(e.report(), e.plain + "\n" + e.message);
        }
    }
}

TEST_F(Programming, StaleAnswersOfAnEarlierTaskAreNeverTaken) {
    link.deliver(long_ack(0xEF, 0x01));
    link.deliver(task_reply(0x00, 99));
    // The new task's LACK comes at once, its final reply after two units.
    script = {{0x01, none}};
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 2) link.deliver(task_reply(0x00, 42));
    };
    EXPECT_EQ(station.do_direct_read(1), 42);
    EXPECT_EQ(clock.units.size(), 2u);

    // A stale LACK alone does not end the LACK phase either.
    link.deliver(long_ack(0xEF, 0x01));
    clock.units.clear();
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 4) deliver({0x01, 0x00, 17});
    };
    EXPECT_EQ(station.do_paged_read(1), 17);
    EXPECT_EQ(tasks(), 3u);  // 1 + the first read and its restart after 3 units
}

TEST_F(Programming, BudgetsDecideRestartOrGiveUp) {
    using call = std::function<int(kvr_dccx_loconet&)>;
    const call bit_write = [](auto& s) { return int(s.do_direct_bit_write(1, 1, 0)); };
    const call paged_read = [](auto& s) { return int(s.do_paged_read(1)); };
    const call ops_write = [](auto& s) { s.do_ops_write(3, 3, 10, false); return 0; };
    const struct {
        const char* what;
        std::deque<task_answer> script;
        call run;
        int result;
        std::size_t tasks, units;
    } cases[] = {
        // Busy answers and LACK waits share one budget of three.
        {"bit write: busy, then silence", {{0x00, none}}, bit_write, 0, 2, 2},
        {"bit write: busy thrice, reply budget", {{0x00, none}, {0x00, none}, {0x00, none}}, bit_write, 0, 3, 10},
        {"read: busy, silence, restart", {{0x00, none}, {none, none}, {0x01, 0x00, 9}}, paged_read, 9, 3, 2},
        {"read: busy thrice, whole reply budget, restart",
         {{0x00, none}, {0x00, none}, {0x00, none}, {0x01, 0x00, 4}}, paged_read, 4, 4, 60},
        // The bit write gives up where the others start over.
        {"bit write: no answer at all", {}, bit_write, 0, 1, 3},
        {"bit write: LACK, no final reply", {{0x01, none}}, bit_write, 0, 1, 10},
        {"paged write: LACK, no final reply, restart", {{0x01, none}, {0x01, 0x00}},
         [](auto& s) { s.do_paged_write(1, 1); return 0; }, 0, 2, 10},
        {"direct read: sixty units, restart", {{0x01, none}, {0x01, 0x00, 1}},
         [](auto& s) { return int(s.do_direct_read(1)); }, 1, 2, 60},
        // Without feedback an accepted task awaits no final reply, "NO REPLY" is
        // success, and busy answers that use the budget end the write normally.
        {"ops write: NO REPLY", {{0x40, none}}, ops_write, 0, 1, 0},
        {"ops write: accepted", {{0x01, none}}, ops_write, 0, 1, 0},
        {"ops write: busy thrice", {{0x00, none}, {0x00, none}, {0x00, none}}, ops_write, 0, 3, 0},
    };
    for (const auto& c : cases) {
        restart();
        script = c.script;
        EXPECT_EQ(c.run(station), c.result) << c.what;
        EXPECT_EQ(tasks(), c.tasks) << c.what;
        EXPECT_EQ(clock.units, std::vector<unsigned>(c.units, 500)) << c.what;
    }
    EXPECT_TRUE(tones.empty());
}

TEST_F(Programming, DirectWriteSoundsTheToneBeforeEachRestart) {
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 7) deliver({0x01, 0x00});
    };
    station.do_direct_write(1, 3);
    EXPECT_EQ(tasks(), 3u);
    EXPECT_EQ(tones, (std::vector<std::array<unsigned, 3>>{{1200, 200, 1}, {1200, 200, 2}}));
}

TEST_F(Programming, ReadByBitVerifiesAssemblesBitsZeroToSeven) {
    // A decoder whose CV holds `value`: bit verifies of 1 succeed where it has 1s.
    auto holding = [](uint8_t value) {
        return [value](const bytes& m) {
            return task_answer{0x01, (value >> kvr_proto::bit_task_number(m[10])) & 1 ? 0x00 : 0x02};
        };
    };
    by_pattern = holding(5);
    EXPECT_EQ(station.do_direct_readex(29), 5);
    ASSERT_EQ(tasks(), 8u);
    for (int bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(link.sent[bit][3], 0x08);
        EXPECT_EQ(link.sent[bit][10], 0x68 + bit);
    }
    link.sent.clear();
    by_pattern = holding(0xA5);
    EXPECT_EQ(station.do_ops_readex(1234, 29), 0xA5);
    ASSERT_EQ(tasks(), 8u);
    EXPECT_EQ(hex(link.sent[7]), w({0xEF, 0x0E, 0x7C, 0x0C, 0, 0x09, 0x52, 0, 0x02, 0x1C, 0x6F, 0, 0}));

    // A failed bit verify ends the whole read.
    link.sent.clear();
    by_pattern = [this](const bytes&) { return task_answer{0x01, tasks() == 3 ? 0x04 : 0x00}; };
    expect_failure([&] { station.do_direct_readex(1); },
                   {op("do_direct_readex"), op("do_direct_bit_verify"), "Fail to Detect Read Comparet"});
    EXPECT_EQ(tasks(), 3u);
}

TEST_F(Programming, CancelEndsTheFirstWaitAfterTheRequestIsQueued) {
    keeper.silent = true;
    abort.set();
    expect_failure([&] { station.do_128step(3, 1, 1); }, {op("do_128step"), op("do_request_loco"), "CANCEL"});
    EXPECT_EQ(sent(), strings{"BF 00 03 43"});
    expect_failure([&] { station.do_ops_readex(3, 1); }, {op("do_ops_readex"), op("do_ops_bit_verify"), "CANCEL"});
    station.set_waiter(nullptr);  // the blocking waiter too
    expect_failure([&] { station.do_paged_read(1); }, {op("do_paged_read"), "CANCEL"});
    EXPECT_EQ(tasks(), 2u);
}

TEST_F(Programming, NumbersThatWouldWrapAreRefusedBeforeAnythingIsQueued) {
    const char* cv = "ERR:CV MUST BE 1 TO 1024";
    const char* reg = "ERR:REGISTER MUST BE 1 TO 8";
    const char* ops = "ERR:OPS ADDRESS MUST BE 1 TO 16383";
    const char* loco = "ERR:LOCO ADDRESS MUST BE 0 TO 16383";
    const char* sw = "ERR:SWITCH MUST BE 1 TO 2048";
    const struct {
        std::function<void(kvr_dccx_loconet&)> call;
        const char* name;
        const char* text;
        bool via_request_loco = false;  // refused by the slot request inside
    } cases[] = {
        {OP(do_128step, 16384, 1, 1), loco, true},
        {OP(do_function_grp2, 20000, 1), loco, true},
        {OP(do_request_loco, 70000, 0, 0), loco},
        {OP(do_sw, 0, 1, true), sw},
        {OP(do_sw, 2049, 1, true), sw},
        {OP(do_paged_read, 0), cv},
        {OP(do_direct_read, 0), cv},
        {OP(do_direct_readex, 2000), cv},
        {OP(do_paged_write, 0, 1), cv},
        {OP(do_direct_write, 1025, 1), cv},
        {OP(do_direct_bit_write, 0, 1, 1), cv},
        {OP(do_direct_bit_verify, 1025, 1, 1), cv},
        {OP(do_direct_bit_verify, 1, 1, 8), "ERR:BIT NUMBER MUST BE 0 TO 7"},
        {OP(do_register_read, 0), reg},
        {OP(do_register_write, 9, 1), reg},
        {OP(do_ops_write, 16384, 1, 1, false), ops},
        {OP(do_ops_write, 3, 0, 1, false), cv},
        {OP(do_ops_read, 0, 1), ops},
        {OP(do_ops_readex, 3, 1025), cv},
        {OP(do_ops_bit_verify, 0, 1, 1, 1), ops},
    };
    for (const auto& c : cases) {
        std::vector<std::string> labels{op(c.name)};
        if (c.via_request_loco) labels.push_back(op("do_request_loco"));
        labels.push_back(c.text);
        expect_failure([&] { c.call(station); }, labels);
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
        if (m[3] == 0x48) return link.deliver(long_ack(0xEF, 0x01));
        if (m[9] == 0x10) units_when_cv17_queued = clock.units.size();
        deliver({0x01, 0x00});
    };
    clock.on_unit = [this](std::size_t unit) {
        if (unit == 2) link.deliver(task_reply(0x00));
    };
    station.do_write_ex_address(1, 0xC4, 0xD2);
    EXPECT_EQ(units_when_cv17_queued, 2u);
    EXPECT_EQ(sent(), (strings{"EF 0E 7C 48 00 00 00 00 02 1C 6D 00 00 59",
                               w({0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x10, 0x44, 0, 0}),
                               w({0xEF, 0x0E, 0x7C, 0x68, 0, 0, 0, 0, 0x02, 0x11, 0x52, 0, 0})}));
}

TEST_F(Programming, ExtendedAddressStopsWhenAWriteFailsAndTakesPagedModeOnly) {
    const std::string ex = op("do_write_ex_address");
    script = {{0x01, 0x02}};
    expect_failure([&] { station.do_write_ex_address(1, 0xC4, 0xD2); }, {ex, op("do_direct_bit_write"), "FAIL:"});
    EXPECT_EQ(tasks(), 1u);
    // Unanswered: a late answer could be taken for CV 17's, so stop too.
    restart();
    expect_failure([&] { station.do_write_ex_address(1, 0xC4, 0xD2); }, {ex, "ERR:CV29 BIT WRITE NOT ANSWERED"});
    EXPECT_EQ(tasks(), 1u);
    EXPECT_EQ(clock.units.size(), 3u);

    restart();
    script = {{0x01, 0x00}, {0x01, 0x00}};
    station.do_write_ex_address(0, 0xC4, 0xD2);  // paged mode leaves CV 29 alone
    EXPECT_EQ(sent(), (strings{w({0xEF, 0x0E, 0x7C, 0x60, 0, 0, 0, 0, 0x02, 0x10, 0x44, 0, 0}),
                               w({0xEF, 0x0E, 0x7C, 0x60, 0, 0, 0, 0, 0x02, 0x11, 0x52, 0, 0})}));
    link.sent.clear();
    expect_failure([&] { station.do_write_ex_address(2, 0xC4, 0xD2); }, {ex, "ERR:OPS MODE IS NOT SUPPORTED"});
    station.do_write_ex_address(3, 0xC4, 0xD2);
    EXPECT_TRUE(link.sent.empty());
    script = {{0x01, 0x00}, {0x01, 0x02}};
    expect_failure([&] { station.do_write_ex_address(0, 1, 2); }, {ex, op("do_paged_write"), "FAIL"});
}

}  // namespace
