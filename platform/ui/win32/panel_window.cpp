// This file contains the panel windows on Windows: a panel's controls on the
// panel file's grid (toggles as check boxes, numerics as fields showing the
// file's format with their label above, command buttons as push buttons),
// the output pane below them when the front end gives one, and a status line
// for the action that runs and for refused input. Sizes come from the text
// they hold and the screen's resolution, so labels fit at any DPI.
//
// Refused input is explained by the control's label, as the operator knows
// it, and stays in its field, selected, for correction. While a field holds
// refused text, the window's buttons and toggles do nothing but point at it:
// an action started then would use the value the field had before, not the
// one it shows. Numbers are read in the C locale's notation, a point before
// the decimals, whatever the desktop's locale says.
//
// Everything here runs on the GUI thread.
#include "panel_window.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

constexpr wchar_t windowClass[] = L"KovoPanelWindow";
// Child ids: the controls from firstControlId on, in the panel's order; none
// is IDOK or IDCANCEL, which Enter and Escape send.
constexpr int paneId = 100, statusId = 101, labelId = 0xffff, firstControlId = 1000;
constexpr COLORREF refusalColour = RGB(0xb0, 0x00, 0x00);
constexpr UINT refocusRequest = WM_APP + 20;  // wParam: the field's index

struct Field {
    ControlView view;
    HWND widget = nullptr;
    HWND label = nullptr;  // numerics only
    std::string refusal;   // numerics only: why the text it shows was refused
};

struct Window {
    int panel = 0;
    HWND hwnd = nullptr, pane = nullptr, status = nullptr;
    std::vector<Field> fields;
    bool busy = false;
    HWND focusBefore = nullptr;
    std::string message;  // the refusal the status line shows when not busy
    HFONT font = nullptr;
    int dpi = 96;
    int margin = 0, spacing = 0, controlsBottom = 0, controlsRight = 0;
};

Window* state(HWND hwnd)
{
    return reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

int scaled(const Window& w, int pixelsAt96)
{
    return MulDiv(pixelsAt96, w.dpi, 96);
}

Field* fieldOf(Window& w, int control)
{
    for (Field& f : w.fields)
        if (f.view.id == control)
            return &f;
    return nullptr;
}

std::wstring windowText(HWND hwnd)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

// "%g" with six digits, as printf gives it.
std::string number(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

// The whole of text as a finite number in the C locale's notation.
bool readNumber(const std::string& text, double* value)
{
    const char* begin = text.data() + (text.size() > 1 && text[0] == '+');
    auto [end, error] = std::from_chars(begin, text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(*value);
}

std::string trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

void showStatus(Window& w)
{
    SetWindowTextW(w.status, widen(w.message).c_str());
    InvalidateRect(w.status, nullptr, TRUE);
}

void setMessage(Window& w, const std::string& message)
{
    w.message = message;
    if (!w.busy)
        showStatus(w);
}

// Explains a refused input and puts the focus back in its field, with the
// text selected, once the focus change under way is over.
void refuse(Window& w, Field& f, const std::string& why)
{
    f.refusal = why;
    setMessage(w, why);
    PostMessageW(w.hwnd, refocusRequest, static_cast<WPARAM>(&f - w.fields.data()), 0);
}

// Whether a field holds refused text; the operator is pointed at it again.
bool refusedField(Window& w)
{
    for (Field& f : w.fields)
        if (!f.refusal.empty()) {
            refuse(w, f, f.refusal);
            return true;
        }
    return false;
}

// The operator finished editing a numeric field (Enter, or the focus left
// it). Text left as shown is no change; so is the focus that leaves as the
// window turns busy.
void commitNumeric(Window& w, Field& f)
{
    if (w.busy)
        return;
    std::string typed = trimmed(narrow(windowText(f.widget)));
    if (typed == f.view.value) {
        if (!f.refusal.empty()) {  // corrected back to the value it holds
            f.refusal.clear();
            setMessage(w, "");
        }
        return;
    }
    double value = 0.0;
    if (!readNumber(typed, &value)) {
        refuse(w, f, f.view.label + " takes a number, not \"" + typed + "\"");
    } else if (!(value >= f.view.minimum && value <= f.view.maximum)) {
        refuse(w, f, typed + " is outside the range of " + f.view.label + ", " + number(f.view.minimum) + " to " +
                         number(f.view.maximum));
    } else {
        f.refusal.clear();
        setMessage(w, "");
        win32Operate(w.panel, f.view, value, true);
    }
}

void clicked(Window& w, Field& f)
{
    if (w.busy || refusedField(w))
        return;
    if (f.view.kind == UI_COMMAND) {
        win32Operate(w.panel, f.view, 0.0, false);
    } else if (f.view.kind == UI_TOGGLE) {
        bool on = f.view.value != "1";
        SendMessageW(f.widget, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
        win32Operate(w.panel, f.view, on ? 1.0 : 0.0, true);
    }
}

// Enter: commits the field it is typed in, or presses the button that has the focus.
void enter(Window& w)
{
    HWND focus = GetFocus();
    for (Field& f : w.fields)
        if (f.widget == focus) {
            if (f.view.kind == UI_NUMERIC)
                commitNumeric(w, f);
            else if (f.view.kind == UI_COMMAND)
                clicked(w, f);
        }
}

void command(Window& w, int id, int code)
{
    if (id == IDOK) {
        enter(w);
        return;
    }
    size_t index = static_cast<size_t>(id - firstControlId);
    if (id < firstControlId || index >= w.fields.size())
        return;
    Field& f = w.fields[index];
    if (f.view.kind == UI_NUMERIC && code == EN_KILLFOCUS)
        commitNumeric(w, f);
    else if (f.view.kind != UI_NUMERIC && code == BN_CLICKED)
        clicked(w, f);
}

/* ---- Layout ---- */

SIZE textSize(HDC dc, const std::string& text)
{
    std::wstring wide = widen(text.empty() ? " " : text);
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    return size;
}

// The control's size: what its text needs, at the window's resolution.
SIZE naturalSize(const Window& w, HDC dc, const Field& f)
{
    SIZE text = textSize(dc, f.view.label);
    int line = textSize(dc, "Xg").cy;
    switch (f.view.kind) {
    case UI_COMMAND:
        return {std::max<LONG>(text.cx + scaled(w, 24), scaled(w, 75)), std::max(line + scaled(w, 10), scaled(w, 23))};
    case UI_TOGGLE:
        return {GetSystemMetrics(SM_CXMENUCHECK) + scaled(w, 8) + text.cx, std::max(line, scaled(w, 13)) + scaled(w, 8)};
    case UI_NUMERIC:
        break;
    }
    LONG field = textSize(dc, "-00000.0000").cx + scaled(w, 12);
    return {std::max(text.cx, field), line + scaled(w, 3) + line + scaled(w, 8)};
}

// Each control's cell: the file's row and column; a control without a row,
// or whose cell an earlier one took, gets a row of its own below the others,
// so that no control ever hides another.
std::vector<POINT> cells(const std::vector<Field>& fields)
{
    int nextRow = 0;
    for (const Field& f : fields)
        nextRow = std::max(nextRow, f.view.row + 1);
    std::vector<POINT> placed;
    for (const Field& f : fields) {
        POINT cell = {std::max(f.view.column, 0), f.view.row >= 0 ? f.view.row : nextRow++};
        for (const POINT& taken : placed)
            if (taken.x == cell.x && taken.y == cell.y) {
                cell = {0, nextRow++};
                break;
            }
        placed.push_back(cell);
    }
    return placed;
}

// Places the controls on the grid: columns as wide as their widest control,
// rows as tall as their tallest, each control at the bottom left of its cell.
void layOutControls(Window& w)
{
    HDC dc = GetDC(w.hwnd);
    HGDIOBJ before = SelectObject(dc, w.font);
    std::vector<POINT> cell = cells(w.fields);
    std::vector<SIZE> size;
    std::vector<int> widths, heights;
    for (size_t i = 0; i < w.fields.size(); ++i) {
        size.push_back(naturalSize(w, dc, w.fields[i]));
        widths.resize(std::max<size_t>(widths.size(), cell[i].x + 1), 0);
        heights.resize(std::max<size_t>(heights.size(), cell[i].y + 1), 0);
        widths[cell[i].x] = std::max<int>(widths[cell[i].x], size[i].cx);
        heights[cell[i].y] = std::max<int>(heights[cell[i].y], size[i].cy);
    }
    int line = textSize(dc, "Xg").cy;
    SelectObject(dc, before);
    ReleaseDC(w.hwnd, dc);

    auto offset = [&](const std::vector<int>& extents, LONG index) {
        int at = w.margin;
        for (LONG i = 0; i < index; ++i)
            at += extents[i] + w.spacing;
        return at;
    };
    for (size_t i = 0; i < w.fields.size(); ++i) {
        Field& f = w.fields[i];
        int x = offset(widths, cell[i].x);
        int y = offset(heights, cell[i].y) + heights[cell[i].y] - size[i].cy;
        int height = size[i].cy;
        if (f.label != nullptr) {
            MoveWindow(f.label, x, y, size[i].cx, line, FALSE);
            y += line + scaled(w, 3);
            height -= line + scaled(w, 3);
        }
        MoveWindow(f.widget, x, y, size[i].cx, height, FALSE);
    }
    w.controlsRight = offset(widths, static_cast<LONG>(widths.size())) - w.spacing;
    w.controlsBottom = offset(heights, static_cast<LONG>(heights.size())) - w.spacing;
}

int statusHeight(const Window& w)
{
    HDC dc = GetDC(w.hwnd);
    HGDIOBJ before = SelectObject(dc, w.font);
    int height = textSize(dc, "Xg").cy + scaled(w, 6);
    SelectObject(dc, before);
    ReleaseDC(w.hwnd, dc);
    return height;
}

// The pane takes what the controls and the status line leave.
void layOutRest(Window& w, int width, int height)
{
    int status = statusHeight(w);
    MoveWindow(w.status, 0, height - status, width, status, TRUE);
    if (w.pane != nullptr) {
        int top = w.controlsBottom + w.spacing + w.margin;
        MoveWindow(w.pane, w.margin, top, std::max(width - 2 * w.margin, 0),
                   std::max(height - status - w.spacing - top, 0), TRUE);
    }
}

// The client size the window opens with: the controls, the pane at its
// smallest useful size, the status line.
SIZE openingSize(Window& w)
{
    SIZE pane = w.pane != nullptr ? outputPaneSize(w.pane) : SIZE{0, 0};
    int width = std::max<int>(w.controlsRight, pane.cx) + 2 * w.margin;
    int height = w.controlsBottom + w.margin + (w.pane != nullptr ? w.spacing + w.margin + pane.cy : w.margin) +
                 statusHeight(w);
    return {width, height};
}

HWND child(Window& w, const wchar_t* kind, const std::string& text, DWORD style, DWORD extended, int id)
{
    HWND hwnd = CreateWindowExW(extended, kind, widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                w.hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(w.font), FALSE);
    return hwnd;
}

// A label on a button or check box: '&' is shown as itself, not taken as the
// mark of a keyboard shortcut.
std::string buttonText(const std::string& label)
{
    std::string text;
    for (char c : label)
        text += c == '&' ? "&&" : std::string(1, c);
    return text;
}

void createControls(Window& w)
{
    for (size_t i = 0; i < w.fields.size(); ++i) {
        Field& f = w.fields[i];
        int id = firstControlId + static_cast<int>(i);
        switch (f.view.kind) {
        case UI_COMMAND:
            f.widget = child(w, L"BUTTON", buttonText(f.view.label), WS_TABSTOP | BS_PUSHBUTTON, 0, id);
            break;
        case UI_TOGGLE:
            f.widget = child(w, L"BUTTON", buttonText(f.view.label), WS_TABSTOP | BS_CHECKBOX, 0, id);
            break;
        case UI_NUMERIC:
            f.label = child(w, L"STATIC", f.view.label, SS_LEFT | SS_NOPREFIX, 0, labelId);
            f.widget = child(w, L"EDIT", "", WS_TABSTOP | ES_RIGHT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, id);
            break;
        }
        showValue(w.hwnd, f.view.id, f.view.value);
    }
}

void destroy(Window* w)
{
    if (w->font != nullptr)
        DeleteObject(w->font);
    delete w;
}

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* w = state(hwnd);
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        break;
    case WM_COMMAND:
        if (w != nullptr)
            command(*w, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case refocusRequest:
        if (w != nullptr && wParam < w->fields.size() && !w->busy) {
            SetFocus(w->fields[wParam].widget);
            SendMessageW(w->fields[wParam].widget, EM_SETSEL, 0, -1);
        }
        return 0;
    case WM_SIZE:
        if (w != nullptr)
            layOutRest(*w, LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_GETMINMAXINFO:
        if (w != nullptr && w->controlsRight > 0) {
            RECT frame = {0, 0, w->controlsRight + 2 * w->margin, w->controlsBottom + 2 * w->margin + statusHeight(*w)};
            AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)), FALSE, 0);
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
        }
        return 0;
    case WM_SETCURSOR:
        if (w != nullptr && w->busy) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_CTLCOLORSTATIC:
        if (w != nullptr && reinterpret_cast<HWND>(lParam) == w->status && !w->busy) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, refusalColour);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    case WM_CLOSE:
        // The program ends through its own shut-down, which discards the panel.
        win32Close();
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        if (w != nullptr)
            destroy(w);
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The cursor as the window's state says, at once, when the pointer is over it.
void updateCursor(HWND hwnd)
{
    POINT at;
    if (GetCursorPos(&at) && GetAncestor(WindowFromPoint(at), GA_ROOT) == hwnd)
        SetCursor(LoadCursorW(nullptr, state(hwnd)->busy ? IDC_WAIT : IDC_ARROW));
}

}  // namespace

std::wstring widen(const std::string& text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

bool registerPanelWindow(HINSTANCE instance)
{
    WNDCLASSW panelClass = {};
    panelClass.lpfnWndProc = windowProcedure;
    panelClass.hInstance = instance;
    panelClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));  // the program's icon, if it has one
    panelClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    panelClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    panelClass.lpszClassName = windowClass;
    return RegisterClassW(&panelClass) != 0;
}

HWND createPanelWindow(const PanelView& view, bool withPane)
{
    auto* w = new Window;
    w->panel = view.handle;
    for (const ControlView& control : view.controls)
        w->fields.push_back({control, nullptr, nullptr, ""});
    HWND hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, windowClass, widen(view.title).c_str(), WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), w);
    if (hwnd == nullptr) {
        destroy(w);
        return nullptr;
    }
    w->hwnd = hwnd;
    HDC screen = GetDC(nullptr);
    w->dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    w->font = CreateFontIndirectW(&metrics.lfMessageFont);
    w->margin = scaled(*w, 11);
    w->spacing = scaled(*w, 7);

    createControls(*w);
    if (withPane)
        w->pane = createOutputPane(hwnd, paneId, w->dpi);
    w->status = child(*w, L"STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE, WS_EX_STATICEDGE, statusId);
    layOutControls(*w);

    SIZE client = openingSize(*w);
    RECT frame = {0, 0, client.cx, client.cy};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
    SetWindowPos(hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return hwnd;
}

void destroyPanelWindow(HWND window)
{
    if (Window* w = state(window))
        w->busy = true;  // as when busy: the focus leaving a field commits nothing
    DestroyWindow(window);
}

void showValue(HWND window, int control, const std::string& value)
{
    Window* w = state(window);
    Field* f = w != nullptr ? fieldOf(*w, control) : nullptr;
    if (f == nullptr)
        return;
    f->view.value = value;
    if (f->view.kind == UI_TOGGLE) {
        SendMessageW(f->widget, BM_SETCHECK, value == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (f->view.kind == UI_NUMERIC) {
        SetWindowTextW(f->widget, widen(value).c_str());
        if (!f->refusal.empty()) {
            f->refusal.clear();
            setMessage(*w, "");
        }
    }
}

void showBusy(HWND window, const std::string& text)
{
    Window* w = state(window);
    bool busy = !text.empty();
    if (w == nullptr || busy == w->busy)
        return;
    if (busy) {
        HWND focus = GetFocus();
        w->focusBefore = focus != nullptr && IsChild(window, focus) ? focus : nullptr;
    }
    // Set first: the focus leaving a field as it is disabled commits nothing.
    w->busy = busy;
    for (Field& f : w->fields) {
        EnableWindow(f.widget, !busy);
        if (f.label != nullptr)
            EnableWindow(f.label, !busy);
    }
    if (busy)
        SetWindowTextW(w->status, widen(text).c_str());
    else
        showStatus(*w);
    if (!busy && w->focusBefore != nullptr && IsWindow(w->focusBefore))
        SetFocus(w->focusBefore);
    updateCursor(window);
}

void showRefusal(HWND window, int control, const std::string& why)
{
    Window* w = state(window);
    if (Field* f = w != nullptr ? fieldOf(*w, control) : nullptr)
        refuse(*w, *f, why);
}

HWND windowPane(HWND window)
{
    Window* w = state(window);
    return w != nullptr ? w->pane : nullptr;
}
