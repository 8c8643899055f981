// The About box: its own fixed text stays, the release version is a line of
// its own below it, inside the box.

#include <QLabel>

#include "foundation/kvr_build.h"
#include "ui/kvr_about_dlg.h"
#include "ui/kvr_dialog_template.h"
#include "ui_test_support.h"

TEST(AboutBox, KeepsItsOwnTextAndAddsTheReleaseBelowIt) {
    kvr_about_dlg about;
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8(kvr_txt_about_title));
    const QLabel* own = nullptr;
    const QLabel* release = nullptr;
    for (const QLabel* label : about.findChildren<QLabel*>()) {
        if (label->text() == "Busprobe Version 1.0") own = label;
        if (label->text() == "Release " BUSPROBE_VERSION) release = label;
    }
    ASSERT_TRUE(own);
    ASSERT_TRUE(release);
    EXPECT_GT(release->geometry().top(), own->geometry().bottom());
    EXPECT_TRUE(about.rect().contains(release->geometry())) << release->geometry().bottom() << " " << about.height();
}
