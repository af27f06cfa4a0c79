// The window over a real AppModel on the offscreen platform.
#include <gtest/gtest.h>
#include <QSignalSpy>
#include <QTest>

#include "tests/test_support.hpp"
#include "tests/ui_fixture.hpp"

namespace korvex::testing {
namespace {

using Page = AppModel::Page;

class Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { UiFixture::startOffscreen(); }
    void SetUp() override { ASSERT_TRUE(ui.window() && !model().images().isEmpty()); }

    AppModel& model() { return ui.model(); }
    bool shown(const char* name) { return ui.find(name) != nullptr; }
    bool enabled(const char* name) { return shown(name) && ui.item(name)->isEnabled(); }
    static bool until(const std::function<bool()>& done) { return UiFixture::waitFor(done); }
    void key(int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(ui.window(), Qt::Key(key), modifiers);
        UiFixture::settle(30);
    }
    // Starts a download-only operation held after its first progress event.
    void busyDownloading() {
        ASSERT_TRUE(ui.toPrepare());
        ui.backEnd().holdDownload = true;
        model().perform(true);
        ASSERT_TRUE(until([&] { return model().status().value("stage") == "downloading"; }));
        UiFixture::settle(30);
    }

    TempDir folder;
    UiFixture ui{folder.path(), {"en-GB"}};
};

// Catches several rows marked, a row marked by position, a mark outliving its drive.
TEST_F(Window, ExactlyTheChosenDriveIsMarked) {
    auto marks = [&] { return ui.findAll("markedSymbol").size(); };
    ui.backEnd().setDrives(
        {UiFixture::drive("sdb", 32'000'000'000), UiFixture::drive("sdc", 64'000'000'000)});
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    ASSERT_TRUE(until([&] { return model().targets().size() == 2; }));
    UiFixture::settle(30);
    EXPECT_TRUE(marks() == 0 && shown("createButton") && !enabled("createButton"));
    ui.click("target_sdc");
    EXPECT_EQ(model().currentTarget().value("bsd").toString(), "sdc");
    EXPECT_TRUE(marks() == 1 && ui.item("target_sdc")->property("marked").toBool());
    EXPECT_TRUE(enabled("createButton"));
    ui.backEnd().setDrives({UiFixture::drive("sdb", 32'000'000'000)});
    model().refreshDrives();
    ASSERT_TRUE(until([&] { return model().targets().size() == 1; }));
    UiFixture::settle(30);
    EXPECT_TRUE(marks() == 0 && !enabled("createButton"));
}

// Catches a close or quit that goes through while busy, a guard or Cancel button that does not
// stop the operation, and a terminate that quits before the end.
TEST_F(Window, CloseAndQuitAreRefusedWhileBusy) {
    QSignalSpy quits(&ui.shell(), &Shell::quitRequested);
    busyDownloading();
    ui.window()->close();
    UiFixture::settle(30);
    EXPECT_TRUE(ui.window()->isVisible());
    ASSERT_TRUE(shown("guardDialog"));
    key(Qt::Key_Escape);  // "Keep waiting"
    EXPECT_TRUE(model().busy());
    key(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits.count(), 0);
    ASSERT_TRUE(shown("guardDialog"));
    QMetaObject::invokeMethod(ui.find("guardDialog"), "accept");  // "Cancel operation"
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_TRUE(ui.backEnd().sawCancel);
    EXPECT_EQ(quits.count(), 0);  // still running: the user quits again
    ui.shell().requestQuit();
    EXPECT_EQ(quits.count(), 1);
    ui.backEnd().sawCancel = false;
    busyDownloading();
    ui.click("cancelButton");
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_TRUE(ui.backEnd().sawCancel);

    // Terminated while the typed confirmation is open.
    quits.clear();
    ui.backEnd().holdDownload = false;
    model().perform(false);
    ASSERT_TRUE(until([&] { return shown("eraseDialog"); }));
    bool busyAtQuit = true;
    QObject::connect(&ui.shell(), &Shell::quitRequested, [&] { busyAtQuit = model().busy(); });
    ui.shell().terminate();
    ASSERT_TRUE(until([&] { return quits.count() == 1; }));
    EXPECT_TRUE(!busyAtQuit && ui.backEnd().writes == 0 && !shown("eraseDialog"));
}

// Catches a question lost on its way, a confirmation without the exact name, dead Escape or Return.
TEST_F(Window, QuestionsChoosersAndConfirmationAreAnsweredFromTheWindow) {
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    model().clearSelectedCache();
    ASSERT_TRUE(until([&] { return shown("questionDialog"); }));
    key(Qt::Key_Escape);
    EXPECT_TRUE(until([&] { return !shown("questionDialog"); }));
    EXPECT_FALSE(ui.desk().pending());
    for (const char* chooser : {"fileChooser", "folderChooser"}) {
        chooser == std::string("fileChooser") ? model().chooseLocal()
                                              : model().changeDownloadFolder();
        ASSERT_TRUE(until([&] { return shown(chooser) && ui.desk().pending(); })) << chooser;
        QMetaObject::invokeMethod(ui.find(chooser), "reject");
        EXPECT_TRUE(until([&] { return !ui.desk().pending(); })) << chooser;
    }
    EXPECT_TRUE(model().local().isEmpty());

    ASSERT_TRUE(ui.toPrepare());
    key(Qt::Key_Return);  // "Create USB"
    ASSERT_TRUE(until([&] { return shown("eraseDialog"); }));
    EXPECT_EQ(ui.item("alertField")->property("placeholderText").toString(), "sdb");
    key(Qt::Key_Escape);
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_FALSE(model().error().isEmpty());
    for (const char* typed : {"SDB", "sdb ", "sdb"}) {
        key(Qt::Key_Return);
        ASSERT_TRUE(until([&] { return shown("eraseDialog"); })) << typed;
        ui.type(typed);
        key(Qt::Key_Return);
        ASSERT_TRUE(until([&] { return !model().busy(); })) << typed;
        EXPECT_EQ(ui.backEnd().writes, typed == std::string("sdb") ? 1 : 0) << typed;
    }
}

}  // namespace
}  // namespace korvex::testing
