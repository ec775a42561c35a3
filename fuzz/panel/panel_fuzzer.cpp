// panel_fuzzer.cpp: This file contains the fuzz target of the panel file
// reader: any bytes as the text of a panel file, read for panel 1. A panel the
// reader accepts must hold what the run-time relies on: unique positive ids,
// identifiers for names, numerics within their range and a format that prints
// one number.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "check.h"
#include "panel_file.h"

using fuzz::require;

namespace {

void checkControl(const UiControl& control)
{
    require(control.id > 0, "positive id");
    require(!control.name.empty(), "a name");
    if (control.kind == UI_TOGGLE)
        require(control.value == 0.0 || control.value == 1.0, "toggle value 0 or 1");
    if (control.kind == UI_NUMERIC) {
        require(std::isfinite(control.minimum) && std::isfinite(control.maximum), "finite range");
        require(control.minimum <= control.value && control.value <= control.maximum, "value within range");
    }
    // The format is handed to printf with one double: it must print that alone.
    (void)uiFormatValue(&control);
    require(control.callbackName.empty() == (control.callback == nullptr), "callback bound exactly when named");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    UiPanel panel;
    const int status = uiReadPanelText("fuzz.uir", std::string_view(reinterpret_cast<const char*>(data), size), 1,
                                       &panel);
    require(status == 0 || status == UI_ERR_BAD_FILE, "result 0 or UI_ERR_BAD_FILE");
    if (status != 0)
        return 0;
    require(panel.resourceId == 1, "the panel asked for");
    std::set<int> ids;
    std::set<std::string> names;
    for (const UiControl& control : panel.controls) {
        checkControl(control);
        require(ids.insert(control.id).second && names.insert(control.name).second, "unique ids and names");
    }
    return 0;
}
