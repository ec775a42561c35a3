// This file contains the in-process tests of the graphical front end on Qt's
// offscreen platform, all under a comma-decimal locale: the window built from
// a panel file, operator actions compared with the console front end's, values
// set by the program, refused input, the window while a callback runs (live
// pane, busy state, no input taken), the output pane and the end of the loop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "frontend.h"
#include "output_pane.h"
#include "panel_window.h"
#include "utility.h"

namespace {

// One call of a test callback.
struct Call {
    int panel, control, event;
    bool operator==(const Call&) const = default;
};
std::vector<Call> calls;

// What GuiBusyCB saw of the window while it ran.
struct InCallback {
    QWidget* window = nullptr;     // the window it looks at and tries to act on
    QStringList painted;           // the pane's text at each of its paints
    bool firstLinePainted = false; // "first line" was painted once printf returned
    bool rawLinePainted = false;   // "raw line", written past stdio, was painted during Sleep
    Qt::CursorShape cursor = Qt::ArrowCursor;
    QString status;
    bool controlsEnabled = true;
} seen;

// Keeps the pane's text at each of its paints.
struct PaintWatch : QObject {
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            seen.painted << seen.window->findChild<QPlainTextEdit*>(outputPaneName)->toPlainText();
        return false;
    }
};

bool paintedWith(const QString& line)
{
    for (const QString& text : seen.painted)
        if (text.contains(line))
            return true;
    return false;
}

// SWITCH, GAIN and GO record their calls; LEVEL has no callback; BUSY looks
// at the window while it writes and waits, and tries to act again; PRINT
// writes on both streams; STOP quits with 7.
const char* const panelText = R"([[panel]]
resource = 1
name = "TEST"
title = "Test & panel"

[[panel.control]]
id = 2
name = "SWITCH"
kind = "toggle"
label = "Switch & more"
callback = "GuiRecordCB"
row = 0
column = 1

[[panel.control]]
id = 3
name = "LEVEL"
kind = "numeric"
label = "Level"
min = -5
max = 5
format = "%.3f"
row = 0
column = 0

[[panel.control]]
id = 4
name = "GAIN"
kind = "numeric"
min = 0
max = 100
callback = "GuiRecordCB"

[[panel.control]]
id = 5
name = "GO"
kind = "command"
label = "Go"
callback = "GuiRecordCB"
row = 0
column = 1

[[panel.control]]
id = 6
name = "BUSY"
kind = "command"
callback = "GuiBusyCB"

[[panel.control]]
id = 7
name = "PRINT"
kind = "command"
callback = "GuiPrintCB"

[[panel.control]]
id = 8
name = "STOP"
kind = "command"
callback = "GuiQuitCB"
)";

enum { SWITCH = 2, LEVEL = 3, GAIN = 4, GO = 5 };

// Starts the front end once for all tests, as InitCVIRTEEx would at a desktop,
// with the desktop's locale using a decimal comma.
class GuiEnvironment : public testing::Environment {
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("LC_ALL", "de_DE.UTF-8", 1);
        ASSERT_NE(setlocale(LC_ALL, ""), nullptr) << "the locale de_DE.UTF-8 is missing: run scripts/setup.sh";
        setlocale(LC_ALL, "C");
        static char name[] = "frontend_tests";
        static char* argv[] = {name, nullptr};
        ASSERT_EQ(uiGraphicalFrontend.start(1, argv), 1);
        uiUseFrontend(&uiGraphicalFrontend);
    }
};
const testing::Environment* const environment = testing::AddGlobalTestEnvironment(new GuiEnvironment);

// A displayed test panel and its window, discarded after the test.
struct GuiFrontend : testing::Test {
    std::string folder = std::filesystem::temp_directory_path() / ("kovo-gui-" + std::to_string(getpid()));
    int panel = 0;
    QWidget* window = nullptr;

    void SetUp() override
    {
        calls.clear();
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/test.uir") << panelText;
        panel = LoadPanel(0, (folder + "/test.uir").c_str(), 1);
        ASSERT_GT(panel, 0);
        ASSERT_EQ(DisplayPanel(panel), 0);
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "TEST" && top->isVisible())
                window = top;
        ASSERT_NE(window, nullptr);
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    void TearDown() override
    {
        DiscardPanel(panel);
        std::filesystem::remove_all(folder);
    }

    template <typename Widget>
    Widget* widget(const char* name)
    {
        auto* found = window->findChild<Widget*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    void type(const char* field, const QString& text)
    {
        widget<QLineEdit>(field)->selectAll();
        QTest::keyClicks(widget<QLineEdit>(field), text);
        QTest::keyClick(widget<QLineEdit>(field), Qt::Key_Return);
    }
    QString message() { return widget<QLabel>(messageLineName)->text(); }
    double number(int control)
    {
        double value = 0;
        EXPECT_EQ(GetCtrlVal(panel, control, &value), 0);
        return value;
    }
    // The calls that the console front end makes for these operator lines.
    std::vector<Call> viaConsole(const std::string& lines)
    {
        std::istringstream input(lines);
        uiUseFrontend(&uiConsoleFrontend);
        uiConsoleInput = &input;
        calls.clear();
        RunUserInterface();
        uiConsoleInput = &std::cin;
        uiUseFrontend(&uiGraphicalFrontend);
        return calls;
    }
};

}  // namespace

// Fontconfig, which Qt uses for its fonts, keeps caches to the end of the
// process; a build with the leak checker is told so.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int CVICALLBACK GuiRecordCB(int panel, int control, int event, void*, int, int)
{
    calls.push_back({panel, control, event});
    return 0;
}

extern "C" int CVICALLBACK GuiBusyCB(int panel, int control, int event, void*, int, int)
{
    calls.push_back({panel, control, event});
    printf("first line\n");
    seen.firstLinePainted = paintedWith("first line");
    if (write(STDOUT_FILENO, "raw line\n", 9) != 9)
        return 0;
    Sleep(1);
    seen.rawLinePainted = paintedWith("raw line");
    seen.cursor = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor;
    seen.status = seen.window->findChild<QStatusBar*>(statusBarName)->currentMessage();
    seen.controlsEnabled = seen.window->findChild<QWidget*>(controlsName)->isEnabled();
    QTest::mouseClick(seen.window->findChild<QPushButton*>("GO"), Qt::LeftButton);
    QTest::mouseClick(seen.window->findChild<QCheckBox*>("SWITCH"), Qt::LeftButton);
    return 0;
}

extern "C" int CVICALLBACK GuiPrintCB(int, int, int event, void*, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    printf("Vset=%f\n", 24.5);
    fprintf(stderr, "a failure\n");
    fflush(stdout);
    // One character split across two writes.
    if (write(STDOUT_FILENO, "\xc3", 1) != 1 || write(STDOUT_FILENO, "\xa4 umlaut\n", 9) != 9)
        fprintf(stderr, "short write\n");
    printf("no end");
    return 0;
}

extern "C" int CVICALLBACK GuiQuitCB(int, int, int event, void*, int, int)
{
    if (event == EVENT_COMMIT)
        QuitUserInterface(7);
    return 0;
}

TEST_F(GuiFrontend, ThePanelIsAWindowOfItsControlsOnTheFilesGrid)
{
    EXPECT_EQ(window->windowTitle(), "Test & panel");
    EXPECT_EQ(widget<QCheckBox>("SWITCH")->text(), "Switch && more");  // shown with its '&', no shortcut
    EXPECT_EQ(widget<QPushButton>("GO")->text(), "Go");
    EXPECT_EQ(widget<QLineEdit>("LEVEL")->text(), "0.000");
    EXPECT_EQ(widget<QLineEdit>("GAIN")->text(), "0");
    auto* grid = window->findChild<QGridLayout*>();
    ASSERT_NE(grid, nullptr);
    // LEVEL and SWITCH are where the file puts them; GO, whose cell SWITCH
    // took, and the controls without a row get rows of their own below.
    int row, column, rowSpan, columnSpan;
    grid->getItemPosition(grid->indexOf(widget<QCheckBox>("SWITCH")), &row, &column, &rowSpan, &columnSpan);
    EXPECT_EQ(std::pair(row, column), std::pair(0, 1));
    grid->getItemPosition(grid->indexOf(widget<QLineEdit>("LEVEL")->parentWidget()), &row, &column, &rowSpan,
                          &columnSpan);
    EXPECT_EQ(std::pair(row, column), std::pair(0, 0));
    EXPECT_EQ(grid->rowCount(), 6);
}

TEST_F(GuiFrontend, EachKindOfControlRaisesTheEventsTheConsoleRaisesForTheSameAction)
{
    std::vector<Call> console = viaConsole("set SWITCH 1\nset GAIN 42.5\nset LEVEL -2.5\npress GO\n");
    ASSERT_EQ(console.size(), 3u);
    SetCtrlVal(panel, SWITCH, 0);
    SetCtrlVal(panel, GAIN, 0.0);
    SetCtrlVal(panel, LEVEL, 0.0);

    calls.clear();
    QTest::mouseClick(widget<QCheckBox>("SWITCH"), Qt::LeftButton);
    type("GAIN", "42.5");
    type("LEVEL", "-2.5");  // held without a callback
    QTest::mouseClick(widget<QPushButton>("GO"), Qt::LeftButton);
    EXPECT_EQ(calls, console);
    int toggle = 0;
    GetCtrlVal(panel, SWITCH, &toggle);
    EXPECT_EQ(toggle, 1);
    EXPECT_EQ(number(GAIN), 42.5);
    EXPECT_EQ(number(LEVEL), -2.5);
    EXPECT_EQ(widget<QLineEdit>("LEVEL")->text(), "-2.500");  // shown again in the file's format

    // Leaving a field as it is shown, or pressing Enter on it, commits nothing.
    calls.clear();
    type("GAIN", "42.5");
    QTest::keyClick(widget<QLineEdit>("GAIN"), Qt::Key_Return);
    EXPECT_TRUE(calls.empty());
}

TEST_F(GuiFrontend, ValuesSetByTheProgramAreShownAndRaiseNoCallback)
{
    EXPECT_EQ(SetCtrlVal(panel, SWITCH, 1), 0);
    EXPECT_EQ(SetCtrlVal(panel, LEVEL, 3.25), 0);
    EXPECT_EQ(SetCtrlVal(panel, GAIN, 99.5), 0);
    EXPECT_TRUE(widget<QCheckBox>("SWITCH")->isChecked());
    EXPECT_EQ(widget<QLineEdit>("LEVEL")->text(), "3.250");
    EXPECT_EQ(widget<QLineEdit>("GAIN")->text(), "99.5");
    EXPECT_TRUE(calls.empty());
}

TEST_F(GuiFrontend, NumbersUseTheDecimalPointWhateverTheDesktopsLocaleSays)
{
    EXPECT_STREQ(setlocale(LC_MONETARY, nullptr), "de_DE.UTF-8");  // Qt did take the desktop's locale
    EXPECT_STREQ(setlocale(LC_NUMERIC, nullptr), "C");
    char printed[32];
    snprintf(printed, sizeof printed, "Vset=%f", 24.5);
    EXPECT_STREQ(printed, "Vset=24.500000");
    EXPECT_EQ(strtod("2,5", nullptr), 2.0);

    type("LEVEL", " +1.25 ");
    EXPECT_EQ(message(), "");
    EXPECT_EQ(number(LEVEL), 1.25);
    EXPECT_EQ(widget<QLineEdit>("LEVEL")->text(), "1.250");
    EXPECT_TRUE(calls.empty());
}

TEST_F(GuiFrontend, RefusedInputIsExplainedByTheLabelAndKeptForCorrection)
{
    const struct {
        const char* field;
        const char* typed;
        const char* message;
    } cases[] = {
        {"LEVEL", "2,5", "Level takes a number, not \"2,5\""},
        {"LEVEL", "1,000", "Level takes a number, not \"1,000\""},
        {"LEVEL", "nan", "Level takes a number, not \"nan\""},
        {"LEVEL", "1e1", "1e1 is outside the range of Level, -5 to 5"},
        {"GAIN", "-1", "-1 is outside the range of GAIN, 0 to 100"},  // no label: the name
    };
    for (const auto& c : cases) {
        auto* field = widget<QLineEdit>(c.field);
        type(c.field, c.typed);
        EXPECT_EQ(message(), c.message);
        EXPECT_EQ(field->text(), c.typed);
        EXPECT_EQ(field->selectedText(), c.typed) << c.typed;
        EXPECT_TRUE(field->hasFocus()) << c.typed;
        EXPECT_EQ(number(LEVEL), 0.0);
        EXPECT_EQ(number(GAIN), 0.0);

        // An action now would use the value the field had before: it does nothing.
        QTest::mouseClick(widget<QPushButton>("GO"), Qt::LeftButton);
        QTest::mouseClick(widget<QCheckBox>("SWITCH"), Qt::LeftButton);
        EXPECT_TRUE(calls.empty()) << c.typed;
        EXPECT_FALSE(widget<QCheckBox>("SWITCH")->isChecked());
        EXPECT_EQ(message(), c.message);
        EXPECT_TRUE(field->hasFocus()) << c.typed;
        type(c.field, "0");  // corrected back to the value it holds
        EXPECT_EQ(message(), "");
    }
    QTest::mouseClick(widget<QPushButton>("GO"), Qt::LeftButton);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(GuiFrontend, WhileACallbackRunsTheWindowIsLiveAndBusyAndTakesNoInput)
{
    seen = InCallback();
    seen.window = window;
    PaintWatch watch;
    widget<QPlainTextEdit>(outputPaneName)->viewport()->installEventFilter(&watch);
    // A value typed but not committed, its field focused.
    auto* level = widget<QLineEdit>("LEVEL");
    level->setFocus();
    level->selectAll();
    QTest::keyClicks(level, "3");
    widget<QPushButton>("BUSY")->click();

    EXPECT_TRUE(seen.firstLinePainted);
    EXPECT_TRUE(seen.rawLinePainted);
    EXPECT_EQ(seen.cursor, Qt::WaitCursor);
    EXPECT_EQ(seen.status, QStringLiteral("BUSY: running\u2026"));
    EXPECT_FALSE(seen.controlsEnabled);
    // Afterwards: idle again, the clicks made meanwhile lost, the typed value kept.
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(window->findChild<QStatusBar*>(statusBarName)->currentMessage(), "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (Call{panel, 6, EVENT_COMMIT}));
    EXPECT_FALSE(widget<QCheckBox>("SWITCH")->isChecked());
    EXPECT_EQ(level->text(), "3");
    EXPECT_TRUE(level->hasFocus());
    EXPECT_EQ(number(LEVEL), 0.0);
}

TEST_F(GuiFrontend, ThePaneShowsWhatTheProgramWritesWithErrorsMarked)
{
    auto* pane = widget<QPlainTextEdit>(outputPaneName);
    ASSERT_NE(pane, nullptr);
    EXPECT_TRUE(pane->isReadOnly());
    QTest::mouseClick(widget<QPushButton>("PRINT"), Qt::LeftButton);
    // Each stream's lines in their order; the two streams' relative order is
    // the order the bytes were read in, which the test does not fix.
    QStringList out, err;
    for (QTextBlock block = pane->document()->begin(); block.isValid(); block = block.next()) {
        bool error = block.begin() != block.end() && block.begin().fragment().charFormat().boolProperty(errorTextProperty);
        (error ? err : out) << block.text();
    }
    ASSERT_GE(out.size(), 3);
    EXPECT_EQ(out.mid(out.size() - 3), (QStringList{"Vset=24.500000", u8"\u00e4 umlaut", "no end"}));
    ASSERT_GE(err.size(), 1);
    EXPECT_EQ(err.back(), "a failure");
}

TEST_F(GuiFrontend, ClosingTheWindowEndsTheLoopAsQuitUserInterfaceDoes)
{
    QTimer::singleShot(0, window, [this] { window->close(); });
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_TRUE(window->isVisible());  // the program discards the panel itself
    QTimer::singleShot(0, window, [this] { QTest::mouseClick(widget<QPushButton>("STOP"), Qt::LeftButton); });
    EXPECT_EQ(RunUserInterface(), 7);
}
