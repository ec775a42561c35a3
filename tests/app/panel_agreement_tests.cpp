// This file contains the test that the application's header of control ids
// (app/kovo_uir.h) and its panel file (app/kovo_uir.uir) describe the same
// panel, and that the panel file binds each callback to its control.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "frontend.h"
#include "kovo_uir.h"

// The application's callbacks, for the panel file to bind; the header's
// prototypes make sure they have its signatures.
#define STUB(name) \
    int CVICALLBACK name(int, int, int, void*, int, int) { return 0; }
STUB(ExitCB)
STUB(KovoOnOffCB)
STUB(KovoChannelsOutputVoltageCB)
STUB(KovoChannelsOnOffCB)
STUB(GetStatus)
STUB(StartCB)
STUB(StopCB)

namespace {

// The control ids the header defines for panel prefix, by control name.
std::map<std::string, int> headerIds(const std::string& prefix)
{
    std::ifstream file(KOVO_SOURCE_DIR "/app/kovo_uir.h");
    std::map<std::string, int> ids;
    std::string line;
    while (std::getline(file, line)) {
        char name[64];
        int id = 0;
        if (sscanf(line.c_str(), "#define %63s %d", name, &id) == 2 && std::string(name).rfind(prefix + "_", 0) == 0)
            ids[name + prefix.size() + 1] = id;
    }
    return ids;
}

TEST(PanelAgreement, HeaderAndPanelFileNameTheSameControlsWithTheSameIds)
{
    int handle = LoadPanel(0, KOVO_SOURCE_DIR "/app/kovo_uir.uir", PANEL);
    ASSERT_GT(handle, 0);
    const UiPanel* panel = uiPanel(handle);
    EXPECT_EQ(panel->name, "PANEL");

    std::map<std::string, int> inFile;
    for (const UiControl& c : panel->controls)
        inFile[c.name] = c.id;
    EXPECT_EQ(headerIds(panel->name), inFile);

    // The ids that commands address directly, and the names scripts use.
    EXPECT_EQ(PANEL_CRATE_SWITCH, 9);
    EXPECT_EQ(PANEL_VSET, 3);
    EXPECT_EQ(PANEL_ISET, 2);
    const char* names[] = {"CRATE_SWITCH", "VSET", "ISET", "SET_CHANNELS", "CHANNEL_SWITCH",
                           "STATUS", "START", "STOP", "QUIT"};
    for (const char* name : names)
        EXPECT_EQ(inFile.count(name), 1u) << name;
    EXPECT_EQ(inFile.size(), std::size(names));
}

TEST(PanelAgreement, ControlsHaveTheirKindsAndCallbacks)
{
    struct Expected {
        int id;
        UiKind kind;
        CtrlCallbackPtr callback;
    };
    const Expected expected[] = {
        {PANEL_CRATE_SWITCH, UI_TOGGLE, KovoOnOffCB},
        {PANEL_VSET, UI_NUMERIC, nullptr},
        {PANEL_ISET, UI_NUMERIC, nullptr},
        {PANEL_SET_CHANNELS, UI_COMMAND, KovoChannelsOutputVoltageCB},
        {PANEL_CHANNEL_SWITCH, UI_TOGGLE, KovoChannelsOnOffCB},
        {PANEL_STATUS, UI_COMMAND, GetStatus},
        {PANEL_START, UI_COMMAND, StartCB},
        {PANEL_STOP, UI_COMMAND, StopCB},
        {PANEL_QUIT, UI_COMMAND, ExitCB},
    };
    int handle = LoadPanel(0, KOVO_SOURCE_DIR "/app/kovo_uir.uir", PANEL);
    ASSERT_GT(handle, 0);
    for (const Expected& e : expected) {
        const UiControl* control = uiControl(handle, e.id);
        ASSERT_NE(control, nullptr) << e.id;
        EXPECT_EQ(control->kind, e.kind) << control->name;
        EXPECT_EQ(control->callback, e.callback) << control->name;
    }
}

}  // namespace
