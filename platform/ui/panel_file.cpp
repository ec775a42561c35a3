// This file contains the panel file reader: one panel of a TOML panel file,
// checked in full and turned into the run-time's model, with its callbacks
// bound by name to the program's own control callbacks.
//
// The file's shape:
//
//   [[panel]]                      one table per panel
//   resource = 1                   the panel's number, as LoadPanel asks for it
//   name = "PANEL"                 prefix of the program's control ids (PANEL_VSET)
//   title = "Crate control"        optional; the name otherwise
//
//   [[panel.control]]              one table per control, in display order
//   id = 3                         positive integer, unique in the panel
//   name = "VSET"                  identifier, unique in the panel
//   kind = "numeric"               toggle, numeric or command
//   label = "Set voltage [V]"      optional; the name otherwise
//   value = 0.0                    optional initial value: 0 or 1 for a toggle, within
//                                  the range for a numeric; 0 when left out
//   min = -10.0, max = 10.0        numerics: the range, both required
//   format = "%.3f"                numerics, optional: one double conversion; "%g" otherwise
//   callback = "KovoOnOffCB"       optional: a control callback of the program (CVICALLBACK)
//   row = 0, column = 1            optional grid position for a graphical front end
//
// Any other key is refused, so that a misspelt key never leaves a control
// silently unbound. The first fault found ends the reading with one message.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "panel_file.h"

// Bounds of the section that CVICALLBACK puts the control callbacks in. The
// linker defines them on ELF (weakly referenced: a program may have no
// callbacks); on PE the marker functions sort before and after the callbacks.
#ifdef _WIN32
extern "C" __attribute__((section(".kovocb$a"), used)) void kovoCallbacksBegin(void) {}
extern "C" __attribute__((section(".kovocb$z"), used)) void kovoCallbacksEnd(void) {}
#else
extern "C" const char __start_kovo_callbacks[] __attribute__((weak));
extern "C" const char __stop_kovo_callbacks[] __attribute__((weak));
#endif

namespace {

// The file being read, for messages.
const char* fileName;

// Kinds a key applies to, as a bit mask of UiKind values.
constexpr unsigned TOGGLE = 1u << UI_TOGGLE, NUMERIC = 1u << UI_NUMERIC,
                   COMMAND = 1u << UI_COMMAND, ANY = TOGGLE | NUMERIC | COMMAND;

// The keys of a control table and the kinds of control each applies to.
struct ControlKey {
    const char* key;
    unsigned kinds;
};
const ControlKey controlKeys[] = {
    {"id", ANY},       {"name", ANY},         {"kind", ANY},  {"label", ANY},
    {"callback", ANY}, {"row", ANY},          {"column", ANY},
    {"value", TOGGLE | NUMERIC},
    {"min", NUMERIC},  {"max", NUMERIC},      {"format", NUMERIC},
};

// The keys of a panel table.
const char* const panelKeys[] = {"resource", "name", "title", "control"};

// Writes "file:line: text" on standard error; returns UI_ERR_BAD_FILE.
__attribute__((format(printf, 2, 3))) int fault(const toml::node& where, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "%s:%u: %s\n", fileName, where.source().begin.line, text);
    return UI_ERR_BAD_FILE;
}

int line(const toml::node& node)
{
    return static_cast<int>(node.source().begin.line);
}

// Refuses the first key of table that is not one of the allowed ones.
template <typename Allowed>
int checkKeys(const toml::table& table, Allowed allowed)
{
    for (auto&& [key, node] : table)
        if (!allowed(key.str()))
            return fault(node, "unknown key \"%.*s\"", static_cast<int>(key.str().size()), key.str().data());
    return 0;
}

// A C identifier: ASCII letters, digits and '_', not starting with a digit
// (spelt out, as the locale that a front end sets may count more as letters).
bool isIdentifier(std::string_view text)
{
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (text.empty() || !letter(text[0]))
        return false;
    for (char c : text)
        if (!letter(c) && !digit(c))
            return false;
    return true;
}

// Moves i past at most two decimal digits of format; false when a third follows.
bool skipDigits(std::string_view format, size_t* i)
{
    for (int digits = 0; *i < format.size() && std::isdigit(static_cast<unsigned char>(format[*i])); ++*i)
        if (++digits > 2)
            return false;
    return true;
}

// True when format holds exactly one conversion of a double (flags, a width
// and a precision of up to two digits each, then one of f F e E g G a A),
// besides any "%%". A width or precision taken from an argument ('*') is
// refused: there is none to take.
bool oneDoubleConversion(std::string_view format)
{
    int conversions = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        if (++i < format.size() && format[i] == '%')
            continue;
        while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos)
            ++i;
        if (!skipDigits(format, &i))
            return false;
        if (i < format.size() && format[i] == '.' && !skipDigits(format, &++i))
            return false;
        if (i >= format.size() || std::string_view("fFeEgGaA").find(format[i]) == std::string_view::npos)
            return false;
        ++conversions;
    }
    return conversions == 1;
}

// The program's control callback of this name, or NULL: a function declared
// with CVICALLBACK, which puts it between the callback section's bounds. Any
// other function (a library's, or one of the program's that is no callback)
// would be called with arguments it does not expect.
CtrlCallbackPtr declaredCallback(const std::string& name)
{
#ifdef _WIN32
    void* symbol = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), name.c_str()));
    uintptr_t begin = reinterpret_cast<uintptr_t>(&kovoCallbacksBegin) + 1;  // the marker is no callback
    uintptr_t end = reinterpret_cast<uintptr_t>(&kovoCallbacksEnd);
#else
    void* symbol = dlsym(RTLD_DEFAULT, name.c_str());
    uintptr_t begin = reinterpret_cast<uintptr_t>(__start_kovo_callbacks);
    uintptr_t end = reinterpret_cast<uintptr_t>(__stop_kovo_callbacks);
#endif
    uintptr_t address = reinterpret_cast<uintptr_t>(symbol);
    return address >= begin && address < end ? reinterpret_cast<CtrlCallbackPtr>(symbol) : nullptr;
}

// Reads an optional integer key into *out, which keeps its value when the key
// is absent; refuses a value that is not an integer within [low, high].
int readInt(const toml::table& table, const char* key, long long low, long long high, int* out)
{
    const toml::node* node = table.get(key);
    if (node == nullptr)
        return 0;
    const auto* integer = node->as_integer();
    if (integer == nullptr || integer->get() < low || integer->get() > high)
        return fault(*node, "\"%s\" must be an integer from %lld to %lld", key, low, high);
    *out = static_cast<int>(integer->get());
    return 0;
}

// Reads an optional string key into *out, which keeps its value when the key is absent.
int readString(const toml::table& table, const char* key, std::string* out)
{
    const toml::node* node = table.get(key);
    if (node == nullptr)
        return 0;
    if (!node->is_string())
        return fault(*node, "\"%s\" must be a string", key);
    *out = node->as_string()->get();
    return 0;
}

// Reads an optional number key (integer or float, finite) into *out.
int readNumber(const toml::table& table, const char* key, double* out)
{
    const toml::node* node = table.get(key);
    if (node == nullptr)
        return 0;
    std::optional<double> number = node->is_number() ? node->value<double>() : std::nullopt;
    if (!number || !std::isfinite(*number))
        return fault(*node, "\"%s\" must be a finite number", key);
    *out = *number;
    return 0;
}

int require(const toml::table& table, const char* key, const char* what)
{
    return table.contains(key) ? 0 : fault(table, "%s needs \"%s\"", what, key);
}

int readKind(const toml::table& table, UiKind* kind)
{
    std::string text;
    if (require(table, "kind", "a control") || readString(table, "kind", &text))
        return UI_ERR_BAD_FILE;
    for (UiKind k : {UI_TOGGLE, UI_NUMERIC, UI_COMMAND})
        if (text == uiKindName(k)) {
            *kind = k;
            return 0;
        }
    return fault(*table.get("kind"), "unknown kind \"%s\" (toggle, numeric or command)", text.c_str());
}

// The keys that apply to the control's kind, and only those.
int checkControlKeys(const toml::table& table, UiKind kind)
{
    for (auto&& [key, node] : table) {
        const ControlKey* known = nullptr;
        for (const ControlKey& k : controlKeys)
            if (key.str() == k.key)
                known = &k;
        if (known == nullptr)
            return fault(node, "unknown key \"%s\"", std::string(key.str()).c_str());
        if ((known->kinds & (1u << kind)) == 0)
            return fault(node, "\"%s\" does not apply to a %s control", known->key, uiKindName(kind));
    }
    return 0;
}

int readRangeAndValue(const toml::table& table, UiControl* control)
{
    if (control->kind == UI_TOGGLE) {
        int value = 0;
        int status = readInt(table, "value", 0, 1, &value);
        control->value = value;
        return status;
    }
    if (control->kind != UI_NUMERIC)
        return 0;
    if (require(table, "min", "a numeric control") || require(table, "max", "a numeric control") ||
        readNumber(table, "min", &control->minimum) || readNumber(table, "max", &control->maximum) ||
        readNumber(table, "value", &control->value))
        return UI_ERR_BAD_FILE;
    if (control->minimum > control->maximum)
        return fault(*table.get("min"), "\"min\" %g is above \"max\" %g", control->minimum, control->maximum);
    if (control->value < control->minimum || control->value > control->maximum)
        return fault(table.contains("value") ? *table.get("value") : static_cast<const toml::node&>(table),
                     "initial value %g is outside the range %g to %g", control->value, control->minimum,
                     control->maximum);
    control->format = "%g";
    if (readString(table, "format", &control->format))
        return UI_ERR_BAD_FILE;
    if (!oneDoubleConversion(control->format))
        return fault(*table.get("format"), "format \"%s\" must hold exactly one conversion of a number, such as %%.3f",
                     control->format.c_str());
    return 0;
}

int bindCallback(const toml::table& table, UiControl* control)
{
    if (readString(table, "callback", &control->callbackName))
        return UI_ERR_BAD_FILE;
    if (!table.contains("callback"))
        return 0;
    // Only a name a C function can have reaches the symbol lookup: a NUL would
    // end the name early there, and the linker's and the compiler's own
    // symbols (the callback section's bounds among them) begin with "__".
    if (!isIdentifier(control->callbackName) || control->callbackName.starts_with("__"))
        return fault(*table.get("callback"), "callback must be a C function's name, not starting with \"__\"");
    control->callback = declaredCallback(control->callbackName);
    if (control->callback == nullptr)
        return fault(*table.get("callback"),
                     "unknown callback \"%s\": the program declares no control callback of that name",
                     control->callbackName.c_str());
    return 0;
}

int readControl(const toml::table& table, UiControl* control)
{
    *control = UiControl{};
    if (readKind(table, &control->kind) || checkControlKeys(table, control->kind) ||
        require(table, "id", "a control") || readInt(table, "id", 1, 1000000, &control->id) ||
        require(table, "name", "a control") || readString(table, "name", &control->name))
        return UI_ERR_BAD_FILE;
    if (!isIdentifier(control->name))
        return fault(*table.get("name"), "name \"%s\" must be an identifier (letters, digits, _)",
                     control->name.c_str());
    control->label = control->name;
    if (readString(table, "label", &control->label) || readInt(table, "row", 0, 1000, &control->row) ||
        readInt(table, "column", 0, 1000, &control->column) || readRangeAndValue(table, control))
        return UI_ERR_BAD_FILE;
    return bindCallback(table, control);
}

// Refuses a control whose id or name an earlier control of the panel has.
int checkUnique(const UiPanel& panel, const toml::table& table, const std::vector<int>& lines)
{
    const UiControl& added = panel.controls.back();
    for (size_t i = 0; i + 1 < panel.controls.size(); ++i) {
        if (panel.controls[i].id == added.id)
            return fault(*table.get("id"), "duplicate control id %d (also on line %d)", added.id, lines[i]);
        if (panel.controls[i].name == added.name)
            return fault(*table.get("name"), "duplicate control name \"%s\" (also on line %d)", added.name.c_str(),
                         lines[i]);
    }
    return 0;
}

int readControls(const toml::table& table, UiPanel* panel)
{
    const toml::node* node = table.get("control");
    if (node == nullptr)
        return 0;
    if (!node->is_array_of_tables())
        return fault(*node, "\"control\" must be written as [[panel.control]] tables");
    std::vector<int> lines;
    for (const toml::node& element : *node->as_array()) {
        const toml::table& controlTable = *element.as_table();
        panel->controls.emplace_back();
        lines.push_back(line(controlTable));
        if (readControl(controlTable, &panel->controls.back()) || checkUnique(*panel, controlTable, lines))
            return UI_ERR_BAD_FILE;
    }
    return 0;
}

int readPanel(const toml::table& table, UiPanel* panel)
{
    auto known = [](std::string_view key) {
        return std::find(std::begin(panelKeys), std::end(panelKeys), key) != std::end(panelKeys);
    };
    if (checkKeys(table, known) || require(table, "name", "a panel") || readString(table, "name", &panel->name))
        return UI_ERR_BAD_FILE;
    if (!isIdentifier(panel->name))
        return fault(*table.get("name"), "name \"%s\" must be an identifier (letters, digits, _)", panel->name.c_str());
    panel->title = panel->name;
    if (readString(table, "title", &panel->title))
        return UI_ERR_BAD_FILE;
    return readControls(table, panel);
}

// The table of panel resourceId, after checking the resource numbers of all
// panels; NULL after reporting when there is none or the file is malformed.
const toml::table* findPanel(const toml::table& file, int resourceId)
{
    if (checkKeys(file, [](std::string_view key) { return key == "panel"; }))
        return nullptr;
    const toml::node* panels = file.get("panel");
    if (panels == nullptr || !panels->is_array_of_tables()) {
        fault(panels != nullptr ? *panels : static_cast<const toml::node&>(file),
              "panels must be written as [[panel]] tables");
        return nullptr;
    }
    const toml::table* found = nullptr;
    std::vector<std::pair<int, int>> seen;  // resource, line
    for (const toml::node& element : *panels->as_array()) {
        const toml::table& table = *element.as_table();
        int resource = 0;
        if (require(table, "resource", "a panel") || readInt(table, "resource", 1, 1000000, &resource))
            return nullptr;
        for (auto [other, otherLine] : seen)
            if (other == resource) {
                fault(*table.get("resource"), "duplicate panel resource %d (also on line %d)", resource, otherLine);
                return nullptr;
            }
        seen.emplace_back(resource, line(table));
        if (resource == resourceId)
            found = &table;
    }
    if (found == nullptr)
        fprintf(stderr, "%s: no panel with resource %d\n", fileName, resourceId);
    return found;
}

// The folder of the running program's file, whatever folder it was started from.
std::filesystem::path programFolder()
{
#ifdef _WIN32
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::filesystem::path(path).parent_path() : std::filesystem::path();
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
#endif
}

// Where a panel file is read from: a name with a folder as given; a bare name
// from the working folder when it is there (a panel put there on purpose
// wins), otherwise from the program's folder, where it ships beside the program.
std::string panelPath(const char* name)
{
    const std::filesystem::path path(name);
    std::error_code error;
    if (path.has_parent_path() || std::filesystem::is_regular_file(path, error))
        return name;
    const std::filesystem::path folder = programFolder();
    return folder.empty() ? std::string(name) : (folder / path).string();
}

// The path being read; fileName points into it.
std::string readPath;

}  // namespace

int uiReadPanelFile(const char* given, int resourceId, UiPanel* panel)
{
    std::error_code error;
    readPath = panelPath(given);
    const char* name = readPath.c_str();
    std::ifstream stream(name, std::ios::binary);
    if (!std::filesystem::is_regular_file(name, error) || !stream)
        return UI_ERR_FILE;
    std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
    if (stream.bad())
        return UI_ERR_FILE;
    return uiReadPanelText(name, text, resourceId, panel);
}

int uiReadPanelText(const char* name, std::string_view text, int resourceId, UiPanel* panel)
{
    fileName = name;
    toml::parse_result parsed = toml::parse(text, std::string_view(name));
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        fprintf(stderr, "%s:%u: %.*s\n", name, error.source().begin.line, static_cast<int>(error.description().size()),
                error.description().data());
        return UI_ERR_BAD_FILE;
    }
    const toml::table* table = findPanel(parsed.table(), resourceId);
    if (table == nullptr)
        return UI_ERR_BAD_FILE;
    panel->resourceId = resourceId;
    panel->controls.clear();
    return readPanel(*table, panel);
}
