// The window over a real AppModel on the offscreen platform: pages, steps, language, progress,
// drive marks, footer, guards, dialogs and keys.
#include <QAccessible>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QQuickItem>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <set>

#include "app/ui/ui_fixture.hpp"
#include "tests/test_support.hpp"

namespace korvex::testing {
namespace {

using Page = AppModel::Page;

class UiTest : public ::testing::Test {
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
        ASSERT_FALSE(ui->model().images().isEmpty());
    }
    void TearDown() override { ui.reset(); }

    AppModel& model() { return ui->model(); }
    QQuickItem* item(const char* name) { return qobject_cast<QQuickItem*>(ui->find(name)); }
    bool shown(const char* name) { return ui->find(name) != nullptr; }
    bool enabled(const char* name) { return shown(name) && item(name)->isEnabled(); }

    // Types `text` key by key, one code point a key, as a keyboard with that layout would.
    void typeText(const QString& text) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            const QString key = text.mid(i, n);
            i += n - 1;
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, key);
            QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, key);
            QCoreApplication::sendEvent(ui->window(), &press);
            QCoreApplication::sendEvent(ui->window(), &release);
        }
        UiFixture::settle(10);
    }

    // Every text the window shows now, dialogs included (the language switch itself left out).
    std::vector<QString> texts() {
        std::vector<QString> all;
        std::function<void(QQuickItem*)> walk = [&](QQuickItem* i) {
            if (!i->isVisible() || i->objectName() == "languageButton") return;
            const QString text = i->property("text").toString();
            const bool input = i->inherits("QQuickTextInput");
            if (!text.isEmpty() && !input) all.push_back(text);
            for (QQuickItem* child : i->childItems()) walk(child);
        };
        walk(ui->window()->contentItem());
        return all;
    }

    // The controls that can take the focus, as visible now.
    std::set<QQuickItem*> controls() {
        std::set<QQuickItem*> all;
        std::function<void(QQuickItem*)> walk = [&](QQuickItem* i) {
            if (!i->isVisible() || !i->isEnabled()) return;
            if (i->activeFocusOnTab()) all.insert(i);
            for (QQuickItem* child : i->childItems()) walk(child);
        };
        walk(ui->window()->contentItem());
        return all;
    }

    void toPrepareWithDrive(const char* image = UiFixture::kTower) {
        model().choose(QString::fromLatin1(image), QString(), Page::Catalogue);
        ASSERT_TRUE(UiFixture::waitFor([&] { return !model().targets().isEmpty(); }));
        model().setTargetID(model().targets().first().toMap().value("id").toString());
        UiFixture::settle(50);
    }

    // Starts a download-only operation held after its first progress event.
    void busyDownloading() {
        toPrepareWithDrive();
        ui->backEnd().holdDownload = true;
        model().perform(true);
        ASSERT_TRUE(UiFixture::waitFor([&] { return model().status().value("stage").toString() == "downloading"; }));
    }

    TempDir folder;
    std::unique_ptr<UiFixture> ui;
};

// Catches a page loaded for the wrong value, a missing page, or a wrong step number.
TEST_F(UiTest, EachPageShowsItselfAndItsStep) {
    const struct {
        Page page;
        const char* name;
        int step;
    } cases[] = {{Page::Home, "homePage", 1},         {Page::Hardware, "hardwarePage", 1},
                 {Page::Catalogue, "cataloguePage", 1}, {Page::Prepare, "preparePage", 2},
                 {Page::Progress, "progressPage", 3},   {Page::Complete, "completePage", 3}};
    const char* all[] = {"homePage", "hardwarePage", "cataloguePage", "preparePage", "progressPage",
                         "completePage"};
    for (const auto& c : cases) {
        model().setPage(c.page);
        UiFixture::settle(30);
        for (const char* name : all) EXPECT_EQ(shown(name), std::string(name) == c.name) << name;
        EXPECT_TRUE(item("stepText")->property("text").toString().endsWith(
            QStringLiteral("%1 / 3").arg(c.step)))
            << c.name;
        // The current step's name is the highlighted one (the accent colour).
        for (int step = 1; step <= 3; ++step) {
            QObject* label = ui->find(QStringLiteral("stepName%1").arg(step - 1));
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->property("color").value<QColor>() == QColor("#e40046"), step == c.step);
        }
    }
}

// Catches a text left in one language: English sentences while Chinese, Chinese while English,
// on every page and in alerts opened after the switch.
TEST_F(UiTest, EveryTextFollowsTheLanguage) {
    const QRegularExpression englishPhrase(QStringLiteral("\\b[A-Za-z]+ [a-z]{2,}\\b"));
    const QRegularExpression han(QStringLiteral("[\\x{4e00}-\\x{9fff}]"));
    auto check = [&](const char* where) {
        for (const QString& text : texts()) {
            if (model().chinese())
                EXPECT_FALSE(englishPhrase.match(text).hasMatch()) << where << ": " << qPrintable(text);
            else
                EXPECT_FALSE(han.match(text).hasMatch()) << where << ": " << qPrintable(text);
        }
    };
    model().setCpu(QStringLiteral("Intel N100"));
    for (bool chinese : {true, false, true}) {
        model().setChinese(chinese);
        model().setPage(Page::Home);
        UiFixture::settle(30);
        check("home");
        model().beginHardware(true);
        model().setCpu(QStringLiteral("Intel N100"));
        UiFixture::settle(30);
        check("hardware");
        QMetaObject::invokeMethod(ui->find("dialogs"), "showHardwareHelp");
        UiFixture::settle(30);
        check("hardware help");
        QTest::keyClick(ui->window(), Qt::Key_Escape);
        UiFixture::settle(30);
        model().setPage(Page::Catalogue);
        model().setSearch(QStringLiteral("no such image"));
        UiFixture::settle(30);
        check("empty catalogue");
        model().setSearch(QString());
        model().choose(QString::fromLatin1(UiFixture::kTower), QStringLiteral("exact"), Page::Hardware);
        UiFixture::settle(30);
        check("prepare");
        model().setPage(Page::Progress);
        UiFixture::settle(30);
        check("progress");
        model().setPage(Page::Complete);
        UiFixture::settle(30);
        check("complete");
    }
    // Control: the check sees the texts at all.
    EXPECT_GT(texts().size(), 5u);
}

// Catches a division by a zero total and a percentage shown before the total is known.
TEST_F(UiTest, ProgressWithoutTotalShowsNoPercentage) {
    for (const std::int64_t total : {0, 1'048'576}) {
        ui->backEnd().downloadTotal = total;
        busyDownloading();
        UiFixture::settle(30);
        bool percentage = false;
        for (const QString& text : texts()) percentage = percentage || text.contains('%');
        EXPECT_EQ(percentage, total > 0) << total;
        if (total > 0) {
            EXPECT_EQ(item("progressFigures")->property("text").toString(),
                      QStringLiteral("40% · 0.00 / 0.00 GB"));
        }
        EXPECT_EQ(item("progressBar")->property("indeterminate").toBool(), total == 0);
        model().cancel();
        ASSERT_TRUE(UiFixture::waitFor([&] { return !model().busy(); }));
    }
}

// Catches several rows marked, a row marked by position rather than identity, and a mark that
// survives its drive's disappearance.
TEST_F(UiTest, ExactlyTheChosenDriveIsMarked) {
    auto marks = [&] { return ui->findAll("markedSymbol").size(); };
    ui->backEnd().setDrives({UiFixture::drive("sdb", 32'000'000'000), UiFixture::drive("sdc", 64'000'000'000)});
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    ASSERT_TRUE(UiFixture::waitFor([&] { return model().targets().size() == 2; }));
    UiFixture::settle(30);
    EXPECT_EQ(marks(), 0u);
    EXPECT_FALSE(enabled("createButton"));
    EXPECT_TRUE(shown("createButton"));
    QTest::mouseClick(ui->window(), Qt::LeftButton, {},
                      item("target_sdc")->mapToScene(QPointF(20, 20)).toPoint());
    UiFixture::settle(30);
    EXPECT_EQ(model().currentTarget().value("bsd").toString(), "sdc");
    EXPECT_EQ(marks(), 1u);
    EXPECT_EQ(item("target_sdc")->property("marked").toBool(), true);
    EXPECT_TRUE(enabled("createButton"));

    ui->backEnd().setDrives({UiFixture::drive("sdb", 32'000'000'000)});
    model().refreshDrives();
    ASSERT_TRUE(UiFixture::waitFor([&] { return model().targets().size() == 1; }));
    UiFixture::settle(30);
    EXPECT_EQ(marks(), 0u);
    EXPECT_FALSE(enabled("createButton"));
}

// Catches the numbered steps shown for boards or nomad images, or missing for tower images.
TEST_F(UiTest, NumberedStepsOnlyForTower) {
    for (const char* image : {UiFixture::kTower, UiFixture::kNomad, UiFixture::kBoard}) {
        model().choose(QString::fromLatin1(image), QString(), Page::Catalogue);
        model().setPage(Page::Complete);
        UiFixture::settle(30);
        const bool tower = std::string(image) == UiFixture::kTower;
        EXPECT_EQ(shown("towerSteps"), tower) << image;
        EXPECT_EQ(shown("otherSteps"), !tower) << image;
    }
}

// Catches a footer button on the wrong page, a Back that works while busy or on home.
TEST_F(UiTest, FooterAndBackFollowThePage) {
    const char* buttons[] = {"helpButton",   "hardwareLocalButton", "browseButton",
                             "useSuggestedButton", "catalogueLocalButton", "saveOnlyButton",
                             "createButton", "cancelButton", "doneButton"};
    auto visible = [&] {
        std::set<std::string> on;
        for (const char* b : buttons)
            if (shown(b)) on.insert(b);
        return on;
    };
    using S = std::set<std::string>;
    EXPECT_EQ(visible(), S({"helpButton"}));
    EXPECT_FALSE(enabled("backButton"));
    model().beginHardware(true);
    UiFixture::settle(30);
    EXPECT_EQ(visible(), S({"hardwareLocalButton", "browseButton"}));  // nothing suggested yet
    model().setCpu(QStringLiteral("Intel N100"));
    model().setGraphics(QStringLiteral("integrated"));
    UiFixture::settle(30);
    EXPECT_EQ(visible(), S({"hardwareLocalButton", "browseButton", "useSuggestedButton"}));
    EXPECT_TRUE(enabled("backButton"));
    model().setPage(Page::Catalogue);
    UiFixture::settle(30);
    EXPECT_EQ(visible(), S({"catalogueLocalButton"}));
    toPrepareWithDrive();
    EXPECT_EQ(visible(), S({"saveOnlyButton", "createButton"}));
    busyDownloading();
    UiFixture::settle(30);
    EXPECT_EQ(visible(), S({"cancelButton"}));
    EXPECT_FALSE(enabled("backButton"));
    model().setPage(Page::Complete);  // busy still: Back stays off on every page
    UiFixture::settle(30);
    EXPECT_FALSE(enabled("backButton"));
    EXPECT_EQ(visible(), S({"doneButton"}));
    model().setPage(Page::Progress);
    QTest::mouseClick(ui->window(), Qt::LeftButton, {},
                      item("cancelButton")->mapToScene(QPointF(10, 10)).toPoint());
    ASSERT_TRUE(UiFixture::waitFor([&] { return !model().busy(); }));
    EXPECT_TRUE(ui->backEnd().sawCancel);
    EXPECT_TRUE(enabled("backButton"));
}

// Catches a close or quit that goes through while busy, a guard that does not raise the flag,
// and a system terminate that quits before the operation has ended.
TEST_F(UiTest, CloseAndQuitAreRefusedWhileBusy) {
    QSignalSpy quits(&ui->shell(), &Shell::quitRequested);
    busyDownloading();
    ui->window()->close();
    UiFixture::settle(30);
    EXPECT_TRUE(ui->window()->isVisible());
    ASSERT_TRUE(shown("guardDialog"));
    QTest::keyClick(ui->window(), Qt::Key_Escape);  // "Keep waiting"
    UiFixture::settle(30);
    EXPECT_TRUE(model().busy());
    QTest::keyClick(ui->window(), Qt::Key_Q, Qt::ControlModifier);
    UiFixture::settle(30);
    EXPECT_EQ(quits.count(), 0);
    ASSERT_TRUE(shown("guardDialog"));
    QMetaObject::invokeMethod(ui->find("guardDialog"), "accept");  // "Cancel operation"
    ASSERT_TRUE(UiFixture::waitFor([&] { return !model().busy(); }));
    EXPECT_TRUE(ui->backEnd().sawCancel);
    EXPECT_EQ(quits.count(), 0);  // still running: the user quits again
    ui->shell().requestQuit();
    EXPECT_EQ(quits.count(), 1);

    // A terminate request while the typed confirmation is open: the question is dismissed, the
    // writer never starts, and quitting waits for the operation's end.
    quits.clear();
    ui->backEnd().holdDownload = false;
    model().perform(false);
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("eraseDialog"); }));
    bool busyAtQuit = true;
    QObject::connect(&ui->shell(), &Shell::quitRequested, [&] { busyAtQuit = model().busy(); });
    ui->shell().terminate();
    ASSERT_TRUE(UiFixture::waitFor([&] { return quits.count() == 1; }));
    EXPECT_FALSE(busyAtQuit);
    EXPECT_EQ(ui->backEnd().writes, 0);
    EXPECT_FALSE(shown("eraseDialog"));
}

// Catches a question or a chooser of the model that never reaches the window, or an answer that
// does not reach the model.
TEST_F(UiTest, ModelQuestionsAndChoosersAreAnswered) {
    model().choose(QString::fromLatin1(UiFixture::kTower), QString(), Page::Catalogue);
    UiFixture::settle(30);
    model().clearSelectedCache();
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("questionDialog"); }));
    QTest::keyClick(ui->window(), Qt::Key_Escape);
    EXPECT_TRUE(UiFixture::waitFor([&] { return !shown("questionDialog"); }));
    EXPECT_FALSE(ui->desk().pending());

    model().chooseLocal();
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("fileChooser"); }));
    EXPECT_TRUE(ui->desk().pending());
    QMetaObject::invokeMethod(ui->find("fileChooser"), "reject");
    EXPECT_TRUE(UiFixture::waitFor([&] { return !ui->desk().pending(); }));
    EXPECT_TRUE(model().local().isEmpty());

    model().changeDownloadFolder();
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("folderChooser"); }));
    QMetaObject::invokeMethod(ui->find("folderChooser"), "reject");
    EXPECT_TRUE(UiFixture::waitFor([&] { return !ui->desk().pending(); }));
}

// Catches a confirmation that goes on without the exact identifier, an Escape that does not
// cancel, and a Return that does not press the page's prominent button.
TEST_F(UiTest, ConfirmationAndKeys) {
    toPrepareWithDrive();
    QTest::keyClick(ui->window(), Qt::Key_Return);  // "Create USB"
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("eraseDialog"); }));
    EXPECT_EQ(item("alertField")->property("placeholderText").toString(), "sdb");
    QTest::keyClick(ui->window(), Qt::Key_Escape);
    ASSERT_TRUE(UiFixture::waitFor([&] { return !model().busy(); }));
    EXPECT_EQ(ui->backEnd().writes, 0);
    EXPECT_FALSE(model().error().isEmpty());

    for (const char* typed : {"SDB", "sdb "}) {
        QTest::keyClick(ui->window(), Qt::Key_Return);
        ASSERT_TRUE(UiFixture::waitFor([&] { return shown("eraseDialog"); }));
        typeText(typed);
        QTest::keyClick(ui->window(), Qt::Key_Return);
        ASSERT_TRUE(UiFixture::waitFor([&] { return !model().busy(); })) << typed;
        EXPECT_EQ(ui->backEnd().writes, 0) << typed;
    }
    QTest::keyClick(ui->window(), Qt::Key_Return);
    ASSERT_TRUE(UiFixture::waitFor([&] { return shown("eraseDialog"); }));
    typeText("sdb");
    QTest::keyClick(ui->window(), Qt::Key_Return);
    ASSERT_TRUE(UiFixture::waitFor([&] { return model().page() == Page::Complete; }));
    EXPECT_EQ(ui->backEnd().writes, 1);
    QTest::keyClick(ui->window(), Qt::Key_Return);  // "Done"
    EXPECT_TRUE(UiFixture::waitFor([&] { return model().page() == Page::Home; }));
}

// Catches a control that Tab never reaches or that has no accessible name, on every page.
TEST_F(UiTest, TabReachesEveryNamedControl) {
    auto walkPage = [&](const char* where) {
        UiFixture::settle(30);
        const std::set<QQuickItem*> wanted = controls();
        std::set<QQuickItem*> reached;
        for (std::size_t i = 0; i < wanted.size() * 2 + 2; ++i) {
            QTest::keyClick(ui->window(), Qt::Key_Tab);
            if (QQuickItem* focus = ui->window()->activeFocusItem()) {
                // A text field's focus sits on its inner text input.
                while (focus && !wanted.count(focus)) focus = focus->parentItem();
                if (focus) reached.insert(focus);
            }
        }
        for (QQuickItem* control : wanted) {
            EXPECT_TRUE(reached.count(control)) << where << ": " << control->metaObject()->className()
                                                << " " << qPrintable(control->property("text").toString());
            QAccessibleInterface* a11y = QAccessible::queryAccessibleInterface(control);
            ASSERT_NE(a11y, nullptr);
            EXPECT_FALSE(a11y->text(QAccessible::Name).isEmpty())
                << where << ": " << control->metaObject()->className();
        }
        EXPECT_GT(wanted.size(), 3u) << where;
    };
    walkPage("home");
    model().beginHardware(true);
    model().setCpu(QStringLiteral("Intel N100"));
    walkPage("hardware");
    model().setPage(Page::Catalogue);
    walkPage("catalogue");
    toPrepareWithDrive();
    walkPage("prepare");
}

// Catches a crash or a stall on hostile text in the two free-text fields.
TEST_F(UiTest, FreeTextFieldsTakeAnyUnicode) {
    const QString hostile = QString::fromUtf8("\xF0\x9F\x98\x80 \xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \u202E"
                                              "Ryzen \x01\x7F\t\xE2\x80\x8D\xEF\xBF\xBD");
    const QString pasted = QString(5000, QChar(0x05D0)) + QString::fromUtf8("\xF0\x9F\x8F\xB3");
    auto typeInto = [&](const char* field) {
        QQuickItem* input = item(field);
        ASSERT_NE(input, nullptr);
        input->forceActiveFocus();
        typeText(hostile);
        QInputMethodEvent paste;
        paste.setCommitString(pasted);
        QCoreApplication::sendEvent(ui->window()->activeFocusItem(), &paste);
        UiFixture::settle(30);
    };
    model().beginHardware(true);
    UiFixture::settle(30);
    typeInto("cpuField");
    EXPECT_TRUE(model().cpu().endsWith(pasted));
    model().setPage(Page::Catalogue);
    UiFixture::settle(30);
    typeInto("searchField");
    EXPECT_TRUE(model().search().endsWith(pasted));
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
