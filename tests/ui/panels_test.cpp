// The dialog's panels driven through their widgets, over a recording command
// station: what each click sends, and what the fields and controls show.

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_speed_slider.h"
#include "ui_test_support.h"

using calls_t = std::vector<std::string>;

class Panels : public dialog_fixture {
protected:
    void SetUp() override {
        dialog_fixture::SetUp();
        link.on_send = [this](const kvr_loconet_msg& m) { keeper.answer(link, m); };
    }
    void open_dialog() {
        make_dialog();
        link.open("SIM");
    }
    void enter_loco(const char* address) {
        type(kvr_idc_loco_adr, address);
        QTest::keyClick(dlg->control(kvr_idc_loco_adr), Qt::Key_Return);
        pump(20);
    }
    std::vector<std::string> sent_since(std::size_t from) const {
        std::vector<std::string> out;
        for (std::size_t i = from; i < link.sent.size(); ++i) {
            std::string h;
            for (int b = 0; b < link.sent[i].length(); ++b)
                h += QString::asprintf(b ? " %02X" : "%02X", link.sent[i][b]).toStdString();
            out.push_back(h);
        }
        return out;
    }
    static std::string w(std::initializer_list<uint8_t> b) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(b);
        std::string h;
        for (int i = 0; i < m.length(); ++i) h += QString::asprintf(i ? " %02X" : "%02X", m[i]).toStdString();
        return h;
    }
    loco_keeper keeper;
    void expect_bits(unsigned value) {
        for (int bit = 0; bit < 8; ++bit)
            EXPECT_EQ(checked(kvr_idc_bit0 + bit), ((value >> bit) & 1) != 0) << bit;
    }
};

TEST_F(Panels, BadSwitchAddressStopsExchangeAndLaterFieldsKeepOldValues) {
    keeper.put(2, 7, 0x33);
    open_dialog();
    type(kvr_idc_loco_adr, "7");
    click(kvr_idc_f0 + 1);  // with a valid exchange: loco 7 is read first
    type(kvr_idc_sw_adr, "0");  // prompt from the switch handler's exchange
    ASSERT_EQ(prompts, (std::vector<QString>{"Please enter an integer between 1 and 9999."}));
    type(kvr_idc_loco_adr, "9");
    click(kvr_idc_f0 + 2);  // F2 on: the exchange stops before loco and F0..F8
    EXPECT_EQ(prompts.size(), 2u);
    EXPECT_EQ(dlg->fields().switch_address, 0);  // stored before its range check
    EXPECT_EQ(dlg->fields().loco_address, 7);
    EXPECT_EQ(sent_since(0), (std::vector<std::string>{"BF 00 07 47"}));  // nothing for the stopped exchange

    type(kvr_idc_sw_adr, "1");
    type(kvr_idc_cv, "abc");
    prompts.clear();
    click(kvr_idc_file_log);
    EXPECT_EQ(prompts, (std::vector<QString>{"Please enter an integer."}));
    EXPECT_EQ(dlg->fields().file_log, 1);  // before the CV: new value
    EXPECT_EQ(dlg->fields().cv, 1);        // the entry itself: old value
    EXPECT_EQ(dlg->focusWidget(), dlg->control(kvr_idc_cv));
}

TEST(ParseInt, AcceptsWhatTheFrameworkAccepts) {
    const struct { const char* text; bool ok; int value; } cases[] = {
        {"12", true, 12},   {" \t12 ", true, 12}, {"+5", true, 5},         {"-3", true, -3},
        {"", false, 0},     {"1a", false, 0},     {"0x10", false, 0},      {"1 2", false, 0},
        {"2147483647", true, 2147483647},         {"2147483648", false, 0}, {"-", false, 0},
    };
    for (const auto& c : cases) {
        int v = -77;  // a refused text leaves the value alone
        EXPECT_EQ(kvr_parse_int(QString::fromUtf8(c.text), v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : -77) << c.text;
    }
}

TEST_F(Panels, SwitchAndDecoderArithmeticBothWaysAndReqSw) {
    make_dialog();
    const struct { const char* address; int position_button; const char* decoder; int output; } cases[] = {
        {"1", kvr_idc_thrown, "1", 0}, {"1", kvr_idc_closed, "1", 1}, {"5", kvr_idc_thrown, "2", 0},
        {"5", kvr_idc_closed, "2", 1}, {"8", kvr_idc_thrown, "2", 6}, {"8", kvr_idc_closed, "2", 7},
    };
    for (const auto& c : cases) {
        click(c.position_button);
        type(kvr_idc_sw_adr, c.address);
        EXPECT_EQ(text_of(kvr_idc_dec_adr), c.decoder) << c.address;
        EXPECT_TRUE(checked(kvr_idc_out_1t + c.output)) << c.address;
    }
    type(kvr_idc_dec_adr, "3");
    click(kvr_idc_out_1t + 3);  // "2c"
    EXPECT_EQ(text_of(kvr_idc_sw_adr), "10");
    EXPECT_TRUE(checked(kvr_idc_closed));
    EXPECT_EQ(dlg->fields().switch_position, 1);
    click(kvr_idc_out_1t + 6);  // "4t"
    EXPECT_EQ(text_of(kvr_idc_sw_adr), "12");
    EXPECT_TRUE(checked(kvr_idc_thrown));
    EXPECT_TRUE(prompts.empty());

    // "REQ SW" sends only a valid switch, and only with the link open.
    click(kvr_idc_closed);
    click(kvr_idc_req_sw);
    EXPECT_TRUE(calls().empty());
    link.open("SIM");
    click(kvr_idc_req_sw);
    click(kvr_idc_sw_on);  // output off
    click(kvr_idc_thrown);
    click(kvr_idc_req_sw);
    type(kvr_idc_sw_adr, "12345");
    click(kvr_idc_req_sw);  // refused by its prompt, not sent as another turnout
    EXPECT_EQ(calls(), (calls_t{"sw(12,1,1)", "sw(12,0,0)"}));
    EXPECT_FALSE(prompts.empty());
}

// Picking the other step mode rewrites the slot's code with the speed kept
// (the wire's 0..127 scale is the same in both modes); the speed box clamps
// to the mode and sends only on Enter.
TEST_F(Panels, StepModeIsRewrittenOnlyWhenPickedAndTheSpeedBoxClamps) {
    keeper.put(1, 3, 0x33);  // 128 steps, code 011
    open_dialog();
    enter_loco("3");
    type(kvr_idc_speed, "100");
    QTest::keyClick(dlg->control(kvr_idc_speed), Qt::Key_Return);
    pump(20);
    std::size_t from = link.sent.size();
    click(kvr_idc_128step);  // the mode it has: nothing
    EXPECT_TRUE(sent_since(from).empty());
    dlg->control_as<QAbstractButton>(kvr_idc_28step)->click();
    pump(50);
    const std::vector<std::string> s = sent_since(from);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0], w({0xEF, 0x0E, 0x01, 0x30, 0x03, 101, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00}));
    for (const std::string& m : s) EXPECT_NE(m.substr(0, 2), "A0") << "the speed stays";
    EXPECT_EQ(dlg->slider()->maximum(), 28);
    EXPECT_EQ(text_of(kvr_idc_speed), "23") << "speed 101 is step 23 of 28";
    // The speed box clamps to the step mode, and sends nothing.
    from = link.sent.size();
    auto* speed = dlg->control_as<QLineEdit>(kvr_idc_speed);
    speed->selectAll();
    QTest::keyClicks(speed, "200");
    pump(50);
    EXPECT_EQ(speed->text(), "28");
    EXPECT_EQ(dlg->slider()->value(), 28);
    EXPECT_TRUE(sent_since(from).empty());
}

// While the link is closed every button that would send sends nothing and
// says so, once per click, naming Connect; the throttle's buttons and the
// slider go back to what the loco was last told. Queued instead, a Power Off
// went out on the next open, minutes later and maybe on another layout.
TEST_F(Panels, WhileClosedEverySendingButtonSaysConnectOnceAndSendsNothing) {
    make_dialog();
    const int buttons[] = {kvr_idc_power_on, kvr_idc_power_off, kvr_idc_fast_clock, kvr_idc_fwd,
                           kvr_idc_28step,   kvr_idc_f0,        kvr_idc_f0 + 5,     kvr_idc_req_sw,
                           kvr_idc_read,     kvr_idc_write};
    for (int id : buttons) {
        boxes.clear();
        click(id);
        ASSERT_EQ(boxes.size(), 1u) << id;
        EXPECT_EQ(boxes[0].text, kvr_txt_not_connected) << id;
    }
    EXPECT_TRUE(checked(kvr_idc_rev));
    EXPECT_TRUE(checked(kvr_idc_128step));
    EXPECT_FALSE(checked(kvr_idc_f0));
    EXPECT_FALSE(checked(kvr_idc_f0 + 5));

    // A drag says so once, when let go; a key press at once.
    boxes.clear();
    auto* slider = dlg->slider();
    slider->setSliderDown(true);
    for (int v : {10, 20, 30}) {
        slider->setValue(v);
        pump(20);
    }
    EXPECT_TRUE(boxes.empty());
    slider->setSliderDown(false);
    slider->update();
    ASSERT_TRUE(pump_until([&] { return slider->value() == 0; }));
    slider->setValue(5);
    ASSERT_TRUE(pump_until([&] { return slider->value() == 0; }));
    pump(50);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(text_of(kvr_idc_speed), "0");
    EXPECT_TRUE(calls().empty()) << calls().front();
    EXPECT_TRUE(link.sent.empty());
}

// The first use reads and takes the loco and sends nothing else; then each
// click sends its own message only.
TEST_F(Panels, SliderDirectionAndFunctionsSendWithTheLinkOpen) {
    keeper.put(1, 3, 0x03);  // free, forward
    make_dialog();
    link.open("SIM");
    click(kvr_idc_rev);
    EXPECT_EQ(sent_since(0), (std::vector<std::string>{"BF 00 03 43", "BA 01 01 45"}));
    EXPECT_TRUE(checked(kvr_idc_fwd)) << "the slot's direction, not the click's";
    const std::size_t from = link.sent.size();
    click(kvr_idc_fwd);  // the direction it has: nothing
    click(kvr_idc_rev);
    for (int f : {0, 2, 8, 5})
        click(kvr_idc_f0 + f);
    dlg->slider()->setValue(40);
    ASSERT_TRUE(pump_until([&] { return sent_since(from).size() == 6; }));
    EXPECT_EQ(text_of(kvr_idc_speed), "40");
    pump(50);  // drawn again, same speed: nothing more
    EXPECT_EQ(sent_since(from), (std::vector<std::string>{w({0xA1, 0x01, 0x20}), w({0xA1, 0x01, 0x30}),
                                                          w({0xA1, 0x01, 0x32}), w({0xA2, 0x01, 0x08}),
                                                          w({0xA2, 0x01, 0x09}), w({0xA0, 0x01, 41})}));
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Panels, ValueHexAndBitsStayInStep) {
    make_dialog();
    type(kvr_idc_hex, "0x1f");
    EXPECT_EQ(text_of(kvr_idc_value), "31");
    expect_bits(0x1f);
    type(kvr_idc_value, "300");
    EXPECT_EQ(text_of(kvr_idc_hex), "0x12c");
    expect_bits(300);
    click(kvr_idc_bit0 + 7);
    EXPECT_EQ(text_of(kvr_idc_value), "172");  // the boxes hold only the low eight bits
    EXPECT_EQ(text_of(kvr_idc_hex), "0xac");
    type(kvr_idc_hex, "zz");  // does not convert: the value stays
    EXPECT_EQ(text_of(kvr_idc_value), "172");
}

TEST_F(Panels, ReadsShowTheValueMinusOneOrTheFailure) {
    open_dialog();
    station->read_result = 0x85;
    click(kvr_idc_paged);
    click(kvr_idc_read);
    EXPECT_EQ(text_of(kvr_idc_hex), "0x85");

    station->read_result = 0xFFFF;
    click(kvr_idc_direct);
    type(kvr_idc_cv, "8");
    click(kvr_idc_read);
    EXPECT_EQ(calls(), (calls_t{"paged_read(1)", "direct_read(8)"}));
    EXPECT_EQ(text_of(kvr_idc_value), "-1");
    EXPECT_EQ(text_of(kvr_idc_hex), "0xffffffff");
    expect_bits(0xFF);

    type(kvr_idc_value, "7");
    station->fail = std::make_unique<kvr_exception>("CANCEL", 0, "kvr_dccx_loconet", 239);
    click(kvr_idc_read);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "kvr_dccx_loconet(239)");
    EXPECT_NE(boxes[0].text.find("CANCEL"), std::string::npos);
    EXPECT_EQ(text_of(kvr_idc_hex), "0x07");
}

// WRITE refuses a value outside a CV (300 would write 44); "OPS" disables
// READ and writes to the loco.
TEST_F(Panels, WriteRefusesBadValuesAndOpsWritesToTheLoco) {
    open_dialog();
    type(kvr_idc_value, "300");
    click(kvr_idc_write);
    EXPECT_EQ(prompts, (std::vector<QString>{"Please enter an integer between 0 and 255."}));

    auto* read = dlg->control_as<QPushButton>(kvr_idc_read);
    click(kvr_idc_ops);
    EXPECT_FALSE(read->isEnabled());
    type(kvr_idc_loco_adr, "1234");
    type(kvr_idc_cv, "3");
    type(kvr_idc_value, "9");
    click(kvr_idc_write);
    click(kvr_idc_paged);
    EXPECT_TRUE(read->isEnabled());
    click(kvr_idc_write);
    click(kvr_idc_direct);
    click(kvr_idc_write);
    EXPECT_EQ(calls(), (calls_t{"ops_write(1234,3,9,0)", "paged_write(3,9)", "direct_write(3,9)"}));
}

// Loco addresses follow the one rule of every tool, 1 to 10239 (the largest
// DCC long address), checked on the whole value: 70000 cut to 16 bits would
// drive loco 4464, and 10240 would go out as BF 50 00. Every action that
// names a loco refuses an address outside it with the prompt and sends
// nothing.
TEST_F(Panels, LocoAddressesOutsideOneTo10239AreRefusedWithThePrompt) {
    open_dialog();
    const QString prompt = "Please enter an integer between 1 and 10239.";
    const struct { const char* address; int button; } refused[] = {
        {"70000", kvr_idc_f0 + 1}, {"65539", kvr_idc_f0 + 6}, {"10240", kvr_idc_fwd}, {"-1", kvr_idc_f0 + 2},
        {"0", kvr_idc_f0 + 3},     {"20000", kvr_idc_28step}, {"0", kvr_idc_write},   {"10240", kvr_idc_write},
    };
    click(kvr_idc_ops);
    for (const auto& c : refused) {
        prompts.clear();
        type(kvr_idc_loco_adr, c.address);
        click(c.button);
        EXPECT_EQ(prompts, (std::vector<QString>{prompt})) << c.address;
        EXPECT_EQ(dlg->focusWidget(), dlg->control(kvr_idc_loco_adr)) << c.address;
    }
    type(kvr_idc_loco_adr, "10240");
    dlg->slider()->setValue(50);  // the slider refuses quietly
    pump(50);
    EXPECT_TRUE(calls().empty()) << calls().front();

    EXPECT_TRUE(link.sent.empty());

    keeper.put(4, 1, 0x33);
    type(kvr_idc_loco_adr, "10239");
    click(kvr_idc_write);
    type(kvr_idc_loco_adr, "1");
    click(kvr_idc_f0);  // reads loco 1 first, and sends nothing else
    EXPECT_EQ(calls(), (calls_t{"ops_write(10239,1,0,0)"}));
    EXPECT_EQ(sent_since(0), (std::vector<std::string>{"BF 00 01 41"}));
    EXPECT_FALSE(checked(kvr_idc_f0));
}

// The slider's exchange is quiet; when it stops at the loco address or
// speed the slider sends nothing, and the entry stays as typed (it must not
// fall back to the loco the fields held before).
TEST_F(Panels, SliderSendsNothingWhileTheLocoAddressIsEmptyOrBad) {
    open_dialog();
    for (const char* address : {"", "x", "70000"}) {
        type(kvr_idc_loco_adr, address);
        dlg->slider()->setValue(dlg->slider()->value() + 10);
        pump(50);
        EXPECT_EQ(text_of(kvr_idc_loco_adr), address);
        EXPECT_NE(dlg->focusWidget(), dlg->control(kvr_idc_loco_adr));
        EXPECT_EQ(dlg->slider()->value(), 0);  // back at the speed shown, which nothing changed
    }
    // Mending the address and a redraw alone start nothing.
    type(kvr_idc_loco_adr, "5");
    dlg->slider()->update();
    pump(50);
    EXPECT_TRUE(calls().empty()) << calls().front();
    type(kvr_idc_sw_adr, "0");  // stops the exchange before the loco address
    prompts.clear();
    type(kvr_idc_loco_adr, "5");
    dlg->slider()->setValue(5);
    pump(50);
    EXPECT_TRUE(calls().empty()) << calls().front();
    EXPECT_TRUE(prompts.empty());

    EXPECT_TRUE(link.sent.empty());

    // A good address: the first move reads the loco and shows it, the next
    // sends the speed.
    keeper.put(2, 5, 0x33);
    type(kvr_idc_sw_adr, "1");
    dlg->slider()->setValue(6);
    ASSERT_TRUE(pump_until([&] { return !link.sent.empty(); }));
    pump(50);
    EXPECT_EQ(sent_since(0), (std::vector<std::string>{"BF 00 05 45"}));
    EXPECT_EQ(dlg->slider()->value(), 0);
    dlg->slider()->setValue(6);
    ASSERT_TRUE(pump_until([&] { return link.sent.size() == 2; }));
    EXPECT_EQ(sent_since(1), (std::vector<std::string>{w({0xA0, 0x02, 7})}));
}

// An action refuses only for a bad entry it uses: "Req SW" goes with a bad
// CV box, READ refuses it (it would read the old CV while showing another).
TEST_F(Panels, ReqSwGoesWithABadCvEntryWhichReadRefuses) {
    open_dialog();
    type(kvr_idc_cv, "abc");
    click(kvr_idc_req_sw);
    prompts.clear();
    click(kvr_idc_read);
    EXPECT_EQ(prompts, (std::vector<QString>{"Please enter an integer."}));
    EXPECT_EQ(text_of(kvr_idc_cv), "abc");
    type(kvr_idc_cv, "8");
    click(kvr_idc_read);
    EXPECT_EQ(calls(), (calls_t{"sw(1,0,1)", "direct_read(8)"}));
}

// The throttle follows the loco shown as the bus shows it: another
// throttle's direction, functions and speed reach the buttons and the slider
// at the next tick, without anything being sent; a click then changes only
// what it names.
TEST_F(Panels, ThrottleFollowsAnotherThrottleAndAClickChangesOnlyWhatItNames) {
    keeper.put(1, 3, 0x37, 40, 0x10, 0x0100);  // held by us: forward, F0, speed 40 (step 39)
    make_dialog();
    connect_sim();
    enter_loco("3");
    const std::size_t from = link.sent.size();
    const auto deliver = [&](std::initializer_list<uint8_t> b) {
        const kvr_loconet_msg m = kvr_loconet_msg::with_checksum(b);
        link.receive_bytes(m.data(), static_cast<std::size_t>(m.length()));
    };
    ASSERT_TRUE(pump_until([&] { return text_of(kvr_idc_speed) == "39"; }));
    EXPECT_TRUE(checked(kvr_idc_fwd));
    EXPECT_TRUE(checked(kvr_idc_f0));

    // Another throttle: reverse with F2, F5 and F7, speed 16 (step 15).
    deliver({0xA1, 0x01, 0x22});
    deliver({0xA2, 0x01, 0x05});
    deliver({0xA0, 0x01, 16});
    ASSERT_TRUE(pump_until([&] { return text_of(kvr_idc_speed) == "15"; }));
    EXPECT_TRUE(checked(kvr_idc_rev));
    for (int f = 0; f <= 8; ++f)
        EXPECT_EQ(checked(kvr_idc_f0 + f), f == 2 || f == 5 || f == 7) << f;
    EXPECT_EQ(dlg->slider()->value(), 15);
    pump(50);
    EXPECT_TRUE(sent_since(from).empty());

    click(kvr_idc_f0 + 1);  // F1: reverse and F2 stay
    EXPECT_EQ(sent_since(from), (std::vector<std::string>{w({0xA1, 0x01, 0x23})}));

    // While the entry shows another loco, its buttons are left alone.
    type(kvr_idc_loco_adr, "4");
    deliver({0xA1, 0x01, 0x00});
    pump(100);
    EXPECT_TRUE(checked(kvr_idc_rev));
}
