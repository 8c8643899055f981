#include "ui_test_support.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>

#include "ui/kvr_dialog_template.h"
#include "ui/kvr_log_view.h"

namespace {

// One QApplication for the whole program, offscreen unless the environment
// chose another platform.
struct qt_environment : ::testing::Environment {
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new qt_environment);

}  // namespace

void dialog_fixture::SetUp() {
    ASSERT_TRUE(dir.isValid());
    env.link = &link;
    env.abort_event = &abort;
    env.ini_path = ini_path();
    env.list_devices = [] { return std::vector<std::string>{}; };
    env.make_station = [this](kvr_loconet_port& l) {
        auto s = std::make_unique<recording_station>(l);
        station = s.get();
        return std::unique_ptr<kvr_dccx>(std::move(s));
    };
    kvr_set_message_box_hook([this](const std::string& text, const std::string& caption, kvr_icon) {
        boxes.push_back({text, caption});
        return 1;
    });
}

void dialog_fixture::TearDown() {
    dlg.reset();
    kvr_set_message_box_hook({});
}

kvr_main_dlg& dialog_fixture::make_dialog() {
    dlg = std::make_unique<kvr_main_dlg>(env);
    dlg->set_prompt([this](const QString& text) { prompts.push_back(text); });
    dlg->show();
    pump();
    return *dlg;
}

void dialog_fixture::type(int id, const QString& text) {
    auto* edit = dlg->control_as<QLineEdit>(id);
    ASSERT_NE(edit, nullptr) << id;
    edit->setText(text);
    pump(5);
}

void dialog_fixture::click(int id) {
    auto* b = dlg->control_as<QAbstractButton>(id);
    ASSERT_NE(b, nullptr) << id;
    b->click();
    pump(5);
}

QString dialog_fixture::text_of(int id) const {
    if (auto* edit = dlg->control_as<QLineEdit>(id))
        return edit->text();
    if (auto* b = dlg->control_as<QAbstractButton>(id))
        return b->text();
    return {};
}

bool dialog_fixture::checked(int id) const {
    auto* b = dlg->control_as<QAbstractButton>(id);
    return b && b->isChecked();
}

QString dialog_fixture::log_text() {
    dlg->log_view()->flush();
    return dlg->log_view()->toPlainText();
}

void dialog_fixture::connect_sim() {
    dlg->control_as<QComboBox>(kvr_idc_port)->setCurrentText("SIM");
    click(kvr_idc_connect);
    ASSERT_EQ(text_of(kvr_idc_connect), "Close Loconet↓");
}
