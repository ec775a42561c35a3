// This file contains the tests of reading panel files: a good file becomes the
// model it describes; every kind of bad file is refused with one message
// naming the file and the line; a file that cannot be opened is refused silently.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend.h"
#include "ui_test_callbacks.h"
#include "ui_test_files.h"

namespace {

const char* const goodPanel = R"([[panel]]
resource = 1
name = "TEST"
title = "Test panel"

[[panel.control]]
id = 2
name = "SWITCH"
kind = "toggle"
value = 1
callback = "TestRecordCB"
row = 0
column = 1

[[panel.control]]
id = 3
name = "LEVEL"
kind = "numeric"
label = "Level [V]"
min = -5.0
max = 5
value = 1.5
format = "%+08.2f V"

[[panel.control]]
id = 4
name = "GO"
kind = "command"
callback = "TestQuitCB"

[[panel]]
resource = 2
name = "OTHER"
)";

// The first lines of every bad file below: a panel whose first control's
// table starts on line 5.
const std::string head = "[[panel]]\nresource = 1\nname = \"TEST\"\n\n[[panel.control]]\n";

TEST(PanelFile, GoodFileBecomesTheModelItDescribes)
{
    ScratchFolder folder;
    Loaded loaded = loadPanelText(folder, goodPanel);
    ASSERT_GT(loaded.handle, 0) << loaded.err;
    EXPECT_EQ(loaded.err, "");
    const UiPanel* panel = uiPanel(loaded.handle);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->resourceId, 1);
    EXPECT_EQ(panel->name, "TEST");
    EXPECT_EQ(panel->title, "Test panel");
    EXPECT_FALSE(panel->displayed);
    ASSERT_EQ(panel->controls.size(), 3u);

    const UiControl& toggle = panel->controls[0];
    EXPECT_EQ(toggle.id, 2);
    EXPECT_EQ(toggle.kind, UI_TOGGLE);
    EXPECT_EQ(toggle.label, "SWITCH");  // no label given: the name
    EXPECT_EQ(toggle.value, 1.0);
    EXPECT_EQ(toggle.callback, &TestRecordCB);
    EXPECT_EQ(toggle.row, 0);
    EXPECT_EQ(toggle.column, 1);

    const UiControl& numeric = panel->controls[1];
    EXPECT_EQ(numeric.kind, UI_NUMERIC);
    EXPECT_EQ(numeric.label, "Level [V]");
    EXPECT_EQ(numeric.minimum, -5.0);
    EXPECT_EQ(numeric.maximum, 5.0);  // an integer in the file
    EXPECT_EQ(numeric.value, 1.5);
    EXPECT_EQ(uiFormatValue(&numeric), "+0001.50 V");
    EXPECT_EQ(numeric.callback, nullptr);
    EXPECT_EQ(numeric.row, -1);

    const UiControl& command = panel->controls[2];
    EXPECT_EQ(command.kind, UI_COMMAND);
    EXPECT_EQ(command.callback, &TestQuitCB);
    EXPECT_EQ(uiFormatValue(&command), "");

    Loaded other = loadPanelText(folder, goodPanel, 2);
    ASSERT_GT(other.handle, 0) << other.err;
    EXPECT_NE(other.handle, loaded.handle);
    EXPECT_EQ(uiPanel(other.handle)->title, "OTHER");  // no title given: the name
    EXPECT_TRUE(uiPanel(other.handle)->controls.empty());
}

TEST(PanelFile, NumericWithoutFormatShowsShortestForm)
{
    ScratchFolder folder;
    Loaded loaded = loadPanelText(folder, head + "id = 2\nname = \"N\"\nkind = \"numeric\"\nmin = 0\nmax = 1e6\n"
                                                 "value = 250000\n");
    ASSERT_GT(loaded.handle, 0) << loaded.err;
    EXPECT_EQ(uiFormatValue(&uiPanel(loaded.handle)->controls[0]), "250000");
}

struct BadFile {
    const char* what;
    std::string text;
    const char* message;  // the whole of standard error, less the file name and its colon
};

TEST(PanelFile, EveryKindOfBadFileIsRefusedWithOneMessageNamingFileAndLine)
{
    const std::string toggle = head + "id = 2\nname = \"A\"\nkind = \"toggle\"\n";  // lines 6 to 8
    const std::string numeric = head + "id = 2\nname = \"A\"\nkind = \"numeric\"\nmin = -1\nmax = 1\n";
    const BadFile cases[] = {
        {"unknown kind", head + "id = 2\nname = \"A\"\nkind = \"slider\"\n",
         "8: unknown kind \"slider\" (toggle, numeric or command)\n"},
        {"duplicate id", toggle + "\n[[panel.control]]\nid = 2\nname = \"B\"\nkind = \"command\"\n",
         "11: duplicate control id 2 (also on line 5)\n"},
        {"duplicate name", toggle + "\n[[panel.control]]\nid = 3\nname = \"A\"\nkind = \"command\"\n",
         "12: duplicate control name \"A\" (also on line 5)\n"},
        {"unknown callback", toggle + "callback = \"NoSuchCallbackCB\"\n",
         "9: unknown callback \"NoSuchCallbackCB\": the program declares no control callback of that name\n"},
        {"callback only a shared library defines", toggle + "callback = \"abort\"\n",
         "9: unknown callback \"abort\": the program declares no control callback of that name\n"},
        {"function of the program that is no callback", toggle + "callback = \"LoadPanel\"\n",
         "9: unknown callback \"LoadPanel\": the program declares no control callback of that name\n"},
        {"callback that is not a string", toggle + "callback = 5\n", "9: \"callback\" must be a string\n"},
        {"the linker's bound of the callbacks", toggle + "callback = \"__start_kovo_callbacks\"\n",
         "9: callback must be a C function's name, not starting with \"__\"\n"},
        {"a callback's name, a NUL and more", toggle + "callback = \"TestRecordCB\\u0000junk\"\n",
         "9: callback must be a C function's name, not starting with \"__\"\n"},
        {"misspelt key", toggle + "callbak = \"TestRecordCB\"\n", "9: unknown key \"callbak\"\n"},
        {"key of another kind", toggle + "format = \"%.1f\"\n", "9: \"format\" does not apply to a toggle control\n"},
        {"value on a button", head + "id = 2\nname = \"A\"\nkind = \"command\"\nvalue = 1\n",
         "9: \"value\" does not apply to a command control\n"},
        {"control without kind", head + "id = 2\nname = \"A\"\n", "5: a control needs \"kind\"\n"},
        {"control without id", head + "name = \"A\"\nkind = \"toggle\"\n", "5: a control needs \"id\"\n"},
        {"id not positive", head + "id = 0\nname = \"A\"\nkind = \"toggle\"\n",
         "6: \"id\" must be an integer from 1 to 1000000\n"},
        {"name not an identifier", head + "id = 2\nname = \"A B\"\nkind = \"toggle\"\n",
         "7: name \"A B\" must be an identifier (letters, digits, _)\n"},
        {"toggle value not 0 or 1", toggle + "value = 2\n", "9: \"value\" must be an integer from 0 to 1\n"},
        {"numeric without range", head + "id = 2\nname = \"A\"\nkind = \"numeric\"\nmax = 1\n",
         "5: a numeric control needs \"min\"\n"},
        {"range upside down", head + "id = 2\nname = \"A\"\nkind = \"numeric\"\nmin = 1\nmax = -1\n",
         "9: \"min\" 1 is above \"max\" -1\n"},
        {"range not finite", head + "id = 2\nname = \"A\"\nkind = \"numeric\"\nmin = -inf\nmax = 1\n",
         "9: \"min\" must be a finite number\n"},
        {"initial value out of range", numeric + "value = 2.5\n", "11: initial value 2.5 is outside the range -1 to 1\n"},
        {"default value out of range", head + "id = 2\nname = \"A\"\nkind = \"numeric\"\nmin = 1\nmax = 2\n",
         "5: initial value 0 is outside the range 1 to 2\n"},
        {"format of an integer", numeric + "format = \"%d\"\n",
         "11: format \"%d\" must hold exactly one conversion of a number, such as %.3f\n"},
        {"format of a string", numeric + "format = \"%s\"\n",
         "11: format \"%s\" must hold exactly one conversion of a number, such as %.3f\n"},
        {"format with two numbers", numeric + "format = \"%f %f\"\n",
         "11: format \"%f %f\" must hold exactly one conversion of a number, such as %.3f\n"},
        {"format with a width argument", numeric + "format = \"%*f\"\n",
         "11: format \"%*f\" must hold exactly one conversion of a number, such as %.3f\n"},
        {"format wider than a panel", numeric + "format = \"%.100f\"\n",
         "11: format \"%.100f\" must hold exactly one conversion of a number, such as %.3f\n"},
        {"controls not an array of tables", "[[panel]]\nresource = 1\nname = \"TEST\"\ncontrol = 3\n",
         "4: \"control\" must be written as [[panel.control]] tables\n"},
        {"panel without name", "[[panel]]\nresource = 1\n", "1: a panel needs \"name\"\n"},
        {"unknown key of a panel", "[[panel]]\nresource = 1\nname = \"P\"\ncolour = \"red\"\n",
         "4: unknown key \"colour\"\n"},
        {"unknown key at the top", "version = 2\n[[panel]]\nresource = 1\nname = \"P\"\n",
         "1: unknown key \"version\"\n"},
        {"duplicate resource", "[[panel]]\nresource = 1\nname = \"P\"\n[[panel]]\nresource = 1\nname = \"Q\"\n",
         "5: duplicate panel resource 1 (also on line 1)\n"},
        {"empty file", "", "1: panels must be written as [[panel]] tables\n"},
        {"no such resource", "[[panel]]\nresource = 2\nname = \"P\"\n", " no panel with resource 1\n"},
    };
    for (const BadFile& bad : cases) {
        SCOPED_TRACE(bad.what);
        ScratchFolder folder;
        Loaded loaded = loadPanelText(folder, bad.text);
        EXPECT_EQ(loaded.handle, UI_ERR_BAD_FILE);
        EXPECT_EQ(loaded.err, std::string("panel.uir:") + bad.message);
    }
}

TEST(PanelFile, MalformedFileIsRefusedWithTheParsersMessageAndLine)
{
    ScratchFolder folder;
    Loaded loaded = loadPanelText(folder, head + "id = 2\nname = \"A\nkind = \"toggle\"\n");
    EXPECT_EQ(loaded.handle, UI_ERR_BAD_FILE);
    EXPECT_EQ(loaded.err.rfind("panel.uir:7: ", 0), 0u) << loaded.err;
    EXPECT_EQ(std::count(loaded.err.begin(), loaded.err.end(), '\n'), 1) << loaded.err;
}

TEST(PanelFile, FileThatCannotBeOpenedIsRefusedSilently)
{
    ScratchFolder folder;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadPanel(0, (folder.path / "missing.uir").c_str(), 1), UI_ERR_FILE);
    EXPECT_EQ(LoadPanel(0, folder.path.c_str(), 1), UI_ERR_FILE);  // a folder, not a file
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
