// The window over a real AppModel on the offscreen platform: pages, steps, language, focus,
// progress, drive marks, footer, guards, dialogs and keys.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QQuickItem>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <set>

#include "tests/ui_fixture.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {
namespace {

using Page = AppModel::Page;
using Names = std::set<std::string>;

class Window : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_QUICK_BACKEND", "software");
        static int argc = 1;
        static char name[] = "ui_test";
        static char* argv[] = {name, nullptr};
        if (!QGuiApplication::instance()) new QGuiApplication(argc, argv);
    }
    void SetUp() override {
        ui = std::make_unique<UiFixture>(folder.path(), std::vector<std::string>{"en-GB"});
        ASSERT_NE(ui->window(), nullptr);
        ASSERT_FALSE(model().images().isEmpty());
    }

    AppModel& model() { return ui->model(); }
    QQuickItem* item(const char* name) { return qobject_cast<QQuickItem*>(ui->find(name)); }
    bool shown(const char* name) { return ui->find(name) != nullptr; }
    bool enabled(const char* name) { return shown(name) && item(name)->isEnabled(); }
    static bool until(const std::function<bool()>& done) { return UiFixture::waitFor(done); }
    void key(int key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(ui->window(), Qt::Key(key), modifiers);
        UiFixture::settle(30);
    }
    void click(const char* name) {
        const QPointF at = item(name)->mapToScene(QPointF(10, 10));
        QTest::mouseClick(ui->window(), Qt::LeftButton, {}, at.toPoint());
        UiFixture::settle(30);
    }
    // Types `text` key by key, one code point a key, as a keyboard with that layout would.
    void type(const QString& text) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            for (QEvent::Type t : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QKeyEvent event(t, 0, Qt::NoModifier, text.mid(i, n));
                QCoreApplication::sendEvent(ui->window(), &event);
            }
            i += n - 1;
        }
        UiFixture::settle(10);
    }
    // The visible items of the window, dialogs included, but not those under `skip`.
    std::vector<QQuickItem*> visible(const QString& skip = {}) {
        std::vector<QQuickItem*> all;
        std::function<void(QQuickItem*)> walk = [&](QQuickItem* i) {
            if (!i->isVisible() || (!skip.isEmpty() && i->objectName() == skip)) return;
            all.push_back(i);
            for (QQuickItem* child : i->childItems()) walk(child);
        };
        walk(ui->window()->contentItem());
        return all;
    }
    void toPrepareWithDrive(const QString& reason = {}, Page from = Page::Catalogue) {
        model().choose(QString::fromLatin1(UiFixture::kTower), reason, from);
        ASSERT_TRUE(until([&] { return !model().targets().isEmpty(); }));
        model().setTargetID(model().targets().first().toMap().value("id").toString());
        UiFixture::settle(50);
    }
    // Starts a download-only operation held after its first progress event.
    void busyDownloading() {
        toPrepareWithDrive();
        ui->backEnd().holdDownload = true;
        model().perform(true);
        ASSERT_TRUE(
            until([&] { return model().status().value("stage").toString() == "downloading"; }));
        UiFixture::settle(30);
    }

    TempDir folder;
    std::unique_ptr<UiFixture> ui;
};

// Catches a text left in the other language, and a control Tab never reaches or without a name.
TEST_F(Window, EveryPageFollowsTheLanguageAndTabReachesEveryNamedControl) {
    const QRegularExpression english(QStringLiteral("\\b[A-Za-z]+ [a-z]{2,}\\b")),
        han(QStringLiteral("[\\x{4e00}-\\x{9fff}]"));
    auto check = [&](const char* where, bool tab) {
        UiFixture::settle(30);
        std::size_t texts = 0;
        for (QQuickItem* i : visible(QStringLiteral("languageButton"))) {
            const QString text = i->property("text").toString();
            if (text.isEmpty() || i->inherits("QQuickTextInput")) continue;
            ++texts;
            EXPECT_FALSE((model().chinese() ? english : han).match(text).hasMatch())
                << where << ": " << qPrintable(text);
        }
        EXPECT_GT(texts, 2u) << where;  // the check sees the texts at all
        if (!tab) return;
        std::set<QQuickItem*> wanted, reached;
        for (QQuickItem* i : visible())
            if (i->isEnabled() && i->activeFocusOnTab()) wanted.insert(i);
        for (std::size_t i = 0; i < wanted.size() * 2 + 2; ++i) {
            QTest::keyClick(ui->window(), Qt::Key_Tab);
            QQuickItem* focus = ui->window()->activeFocusItem();
            while (focus && !wanted.count(focus)) focus = focus->parentItem();  // a field's input
            if (focus) reached.insert(focus);
        }
        EXPECT_GT(wanted.size(), 3u) << where;
        for (QQuickItem* control : wanted) {
            const QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(control);
            EXPECT_TRUE(reached.count(control) && a11y && !a11y->text(QAccessible::Name).isEmpty())
                << where << ": " << control->metaObject()->className() << " "
                << qPrintable(control->property("text").toString());
        }
    };
    for (bool chinese : {true, false, true}) {
        model().setChinese(chinese);
        model().setPage(Page::Home);
        check("home", true);
        model().beginHardware(true);
        model().setCpu(QStringLiteral("Intel N100"));
        check("hardware", true);
        QMetaObject::invokeMethod(ui->find("dialogs"), "showHardwareHelp");
        check("hardware help", false);
        key(Qt::Key_Escape);
        model().setPage(Page::Catalogue);
        check("catalogue", true);
        model().setSearch(QStringLiteral("no such image"));
        check("empty catalogue", false);
        model().setSearch(QString());
        toPrepareWithDrive(QStringLiteral("exact"), Page::Hardware);
        check("prepare", true);
        model().setPage(Page::Progress);
        check("progress", false);
        model().setPage(Page::Complete);
        check("complete", false);
    }
}

// Catches a division by a zero total and a percentage shown before the total is known.
TEST_F(Window, ProgressWithoutTotalShowsNoPercentage) {
    for (const std::int64_t total : {0, 1'048'576}) {
        ui->backEnd().downloadTotal = total;
        busyDownloading();
        bool percentage = false;
        for (QQuickItem* i : visible()) percentage |= i->property("text").toString().contains('%');
        EXPECT_EQ(percentage, total > 0) << total;
        if (total > 0) {
            EXPECT_EQ(item("progressFigures")->property("text").toString(), "40% · 0.00 / 0.00 GB");
        }
        EXPECT_EQ(item("progressBar")->property("indeterminate").toBool(), total == 0);
        model().cancel();
        ASSERT_TRUE(until([&] { return !model().busy(); }));
    }
}

// Catches several rows marked, a row marked by position, a mark outliving its drive.
TEST_F(Window, ExactlyTheChosenDriveIsMarked) {
    auto marks = [&] { return ui->findAll("markedSymbol").size(); };
    ui->backEnd().setDrives(
        {UiFixture::drive("sdb", 32'000'000'000), UiFixture::drive("sdc", 64'000'000'000)});
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    ASSERT_TRUE(until([&] { return model().targets().size() == 2; }));
    UiFixture::settle(30);
    EXPECT_TRUE(marks() == 0 && shown("createButton") && !enabled("createButton"));
    click("target_sdc");
    EXPECT_EQ(model().currentTarget().value("bsd").toString(), "sdc");
    EXPECT_TRUE(marks() == 1 && item("target_sdc")->property("marked").toBool());
    EXPECT_TRUE(enabled("createButton"));
    ui->backEnd().setDrives({UiFixture::drive("sdb", 32'000'000'000)});
    model().refreshDrives();
    ASSERT_TRUE(until([&] { return model().targets().size() == 1; }));
    UiFixture::settle(30);
    EXPECT_TRUE(marks() == 0 && !enabled("createButton"));
}

// Catches a page, step, footer button or Back shown for the wrong page, a Back that works while
// busy or on home, and numbered steps for other than tower images.
TEST_F(Window, PagesStepsFooterAndBackFollowTheWalk) {
    const Names pages = {"homePage",    "hardwarePage", "cataloguePage",
                         "preparePage", "progressPage", "completePage"};
    auto footer = [&] {
        Names on;
        for (const char* b : {"helpButton", "hardwareLocalButton", "browseButton",
                              "useSuggestedButton", "catalogueLocalButton", "saveOnlyButton",
                              "createButton", "cancelButton", "doneButton"})
            if (shown(b)) on.insert(b);
        return on;
    };
    const std::tuple<std::function<void()>, std::string, int, Names, bool> steps[] = {
        {[] {}, "homePage", 1, {"helpButton"}, false},
        {[&] { model().beginHardware(true); }, "hardwarePage", 1,
         {"hardwareLocalButton", "browseButton"}, true},
        {[&] { model().setCpu("Intel N100"), model().setGraphics("integrated"); }, "hardwarePage",
         1, {"hardwareLocalButton", "browseButton", "useSuggestedButton"}, true},
        {[&] { model().setPage(Page::Catalogue); }, "cataloguePage", 1, {"catalogueLocalButton"},
         true},
        {[&] { toPrepareWithDrive(); }, "preparePage", 2, {"saveOnlyButton", "createButton"}, true},
        {[&] { busyDownloading(); }, "progressPage", 3, {"cancelButton"}, false},
        {[&] { model().setPage(Page::Complete); }, "completePage", 3, {"doneButton"}, false}};
    for (const auto& [step, page, number, buttons, back] : steps) {
        step();
        UiFixture::settle(30);
        for (const std::string& other : pages)
            EXPECT_EQ(shown(other.c_str()), other == page) << page << " " << other;
        const QString stepText = item("stepText")->property("text").toString();
        EXPECT_TRUE(stepText.endsWith(QStringLiteral("%1 / 3").arg(number))) << page;
        for (int s = 0; s < 3; ++s)  // the current step's name alone has the accent colour
            EXPECT_EQ(ui->find(QStringLiteral("stepName%1").arg(s))->property("color") ==
                      QColor("#e40046"), s + 1 == number) << page;
        EXPECT_EQ(footer(), buttons) << page;
        EXPECT_EQ(enabled("backButton"), back) << page;
    }
    model().setPage(Page::Progress);
    UiFixture::settle(30);
    click("cancelButton");
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_TRUE(ui->backEnd().sawCancel && enabled("backButton"));
    for (const char* image : {UiFixture::kTower, UiFixture::kNomad, UiFixture::kBoard}) {
        model().choose(QString::fromLatin1(image), QString(), Page::Catalogue);
        model().setPage(Page::Complete);
        UiFixture::settle(30);
        const bool tower = image == UiFixture::kTower;
        EXPECT_TRUE(shown("towerSteps") == tower && shown("otherSteps") == !tower) << image;
    }
}

// Catches a close or quit that goes through while busy, or a terminate that quits before the end.
TEST_F(Window, CloseAndQuitAreRefusedWhileBusy) {
    QSignalSpy quits(&ui->shell(), &Shell::quitRequested);
    busyDownloading();
    ui->window()->close();
    UiFixture::settle(30);
    EXPECT_TRUE(ui->window()->isVisible());
    ASSERT_TRUE(shown("guardDialog"));
    key(Qt::Key_Escape);  // "Keep waiting"
    EXPECT_TRUE(model().busy());
    key(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits.count(), 0);
    ASSERT_TRUE(shown("guardDialog"));
    QMetaObject::invokeMethod(ui->find("guardDialog"), "accept");  // "Cancel operation"
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_TRUE(ui->backEnd().sawCancel);
    EXPECT_EQ(quits.count(), 0);  // still running: the user quits again
    ui->shell().requestQuit();
    EXPECT_EQ(quits.count(), 1);

    // Terminated while the typed confirmation is open.
    quits.clear();
    ui->backEnd().holdDownload = false;
    model().perform(false);
    ASSERT_TRUE(until([&] { return shown("eraseDialog"); }));
    bool busyAtQuit = true;
    QObject::connect(&ui->shell(), &Shell::quitRequested, [&] { busyAtQuit = model().busy(); });
    ui->shell().terminate();
    ASSERT_TRUE(until([&] { return quits.count() == 1; }));
    EXPECT_TRUE(!busyAtQuit && ui->backEnd().writes == 0 && !shown("eraseDialog"));
}

// Catches a question lost on its way, a confirmation without the exact name, dead Escape or Return.
TEST_F(Window, QuestionsChoosersAndConfirmationAreAnsweredFromTheWindow) {
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    model().clearSelectedCache();
    ASSERT_TRUE(until([&] { return shown("questionDialog"); }));
    key(Qt::Key_Escape);
    EXPECT_TRUE(until([&] { return !shown("questionDialog"); }));
    EXPECT_FALSE(ui->desk().pending());
    for (const char* chooser : {"fileChooser", "folderChooser"}) {
        chooser == std::string("fileChooser") ? model().chooseLocal()
                                              : model().changeDownloadFolder();
        ASSERT_TRUE(until([&] { return shown(chooser) && ui->desk().pending(); })) << chooser;
        QMetaObject::invokeMethod(ui->find(chooser), "reject");
        EXPECT_TRUE(until([&] { return !ui->desk().pending(); })) << chooser;
    }
    EXPECT_TRUE(model().local().isEmpty());

    toPrepareWithDrive();
    key(Qt::Key_Return);  // "Create USB"
    ASSERT_TRUE(until([&] { return shown("eraseDialog"); }));
    EXPECT_EQ(item("alertField")->property("placeholderText").toString(), "sdb");
    key(Qt::Key_Escape);
    ASSERT_TRUE(until([&] { return !model().busy(); }));
    EXPECT_FALSE(model().error().isEmpty());
    for (const char* typed : {"SDB", "sdb ", "sdb"}) {
        key(Qt::Key_Return);
        ASSERT_TRUE(until([&] { return shown("eraseDialog"); })) << typed;
        type(typed);
        key(Qt::Key_Return);
        ASSERT_TRUE(until([&] { return !model().busy(); })) << typed;
        EXPECT_EQ(ui->backEnd().writes, typed == std::string("sdb") ? 1 : 0) << typed;
    }
    ASSERT_TRUE(until([&] { return model().page() == Page::Complete; }));
    key(Qt::Key_Return);  // "Done"
    EXPECT_TRUE(until([&] { return model().page() == Page::Home; }));
}

// Catches a crash or a stall on hostile text in the two free-text fields.
TEST_F(Window, FreeTextFieldsTakeAnyUnicode) {
    const QString hostile = QString::fromUtf8(
        "\xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D "
        "\u202ERyzen \x01\x7F\t\xE2\x80\x8D\xEF\xBF\xBD");
    const QString pasted = QString(5000, QChar(0x05D0)) + QString::fromUtf8("\xF0\x9F\x8F\xB3");
    const std::pair<std::function<void()>, const char*> fields[] = {
        {[&] { model().beginHardware(true); }, "cpuField"},
        {[&] { model().setPage(Page::Catalogue); }, "searchField"}};
    for (const auto& [open, field] : fields) {
        open();
        UiFixture::settle(30);
        ASSERT_NE(item(field), nullptr) << field;
        item(field)->forceActiveFocus();
        type(hostile);
        QInputMethodEvent paste;
        paste.setCommitString(pasted);
        QCoreApplication::sendEvent(ui->window()->activeFocusItem(), &paste);
        UiFixture::settle(30);
    }
    EXPECT_TRUE(model().cpu().endsWith(pasted) && model().search().endsWith(pasted));
    EXPECT_TRUE(shown("emptyCatalogue"));
}

}  // namespace
}  // namespace korvex::testing

// Qt, fontconfig and the graphics stack keep caches for the life of the process by design, and
// the one application object of this test lives until exit; none of that is a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6\nleak:libfontconfig\nleak:libglib\nleak:libdbus\nleak:libgobject\n"
           "leak:SetUpTestSuite\n";
}
