// This file contains the output pane on Windows: the program's standard
// output and error in a read-only rich edit control, fixed-pitch, unwrapped,
// with tab stops every eight characters, standard error in red.
#include <richedit.h>

#include "panel_window.h"

namespace {

constexpr COLORREF errorColour = RGB(0xb0, 0x00, 0x00);
constexpr int paneColumns = 118, paneLines = 24;  // a status table line wide
constexpr LONG lineLimit = 100000;                // keeps a long session's memory bounded

// A stream's bytes may end inside a UTF-8 sequence: that tail waits for the rest.
std::string pending[2];
bool pendingLineEnd;      // the last text ended a line: the break is added with the next text
bool lastError;           // the last text came from standard error
bool empty = true;
HFONT paneFont;

// The pane's character cell, in pixels.
SIZE cellSize(HWND pane)
{
    HDC dc = GetDC(pane);
    HGDIOBJ before = SelectObject(dc, paneFont);
    SIZE cell = {8, 16};
    GetTextExtentPoint32W(dc, L"0", 1, &cell);
    TEXTMETRICW metrics;
    if (GetTextMetricsW(dc, &metrics))
        cell.cy = metrics.tmHeight + metrics.tmExternalLeading;
    SelectObject(dc, before);
    ReleaseDC(pane, dc);
    return cell;
}

// The whole bytes of text that form complete UTF-8 sequences, as UTF-16; an
// incomplete sequence at the end is kept for the next text of the stream.
std::wstring decode(std::string& tail, const std::string& bytes)
{
    std::string text = tail + bytes;
    size_t keep = 0;
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xc0) == 0x80)
            continue;  // a continuation byte: look further back for the lead
        size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
        keep = length > back ? back : 0;
        break;
    }
    tail = text.substr(text.size() - keep);
    text.resize(text.size() - keep);
    return widen(text);
}

// Rich edit's own line ends: one '\r' for each "\r\n" or lone "\n".
std::wstring paragraphs(const std::wstring& text)
{
    std::wstring result;
    for (wchar_t c : text)
        if (c != L'\r')
            result += c == L'\n' ? L'\r' : c;
    return result;
}

LONG textLength(HWND pane)
{
    GETTEXTLENGTHEX length = {GTL_NUMCHARS | GTL_PRECISE, 1200};
    return static_cast<LONG>(SendMessageW(pane, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
}

void insertAtEnd(HWND pane, const std::wstring& text, bool error)
{
    LONG end = textLength(pane);
    CHARRANGE at = {end, end};
    SendMessageW(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&at));
    CHARFORMAT2W format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR;
    format.dwEffects = error ? 0 : CFE_AUTOCOLOR;
    format.crTextColor = errorColour;
    SendMessageW(pane, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

// Drops the oldest tenth of the lines once the pane holds more than lineLimit.
void keepBounded(HWND pane)
{
    if (SendMessageW(pane, EM_GETLINECOUNT, 0, 0) <= lineLimit)
        return;
    CHARRANGE oldest = {0, static_cast<LONG>(SendMessageW(pane, EM_LINEINDEX, lineLimit / 10, 0))};
    SendMessageW(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&oldest));
    SendMessageW(pane, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

// Whether the view shows the end of the text: the top of its last line lies
// inside the pane. Asked of the text's own layout, as the scroll bar's range
// says nothing while the text still fits.
bool showsEnd(HWND pane)
{
    POINTL end = {};
    SendMessageW(pane, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&end), textLength(pane));
    RECT view = {};
    SendMessageW(pane, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&view));
    return end.y < view.bottom;
}

}  // namespace

HWND createOutputPane(HWND parent, int id, int dpi)
{
    HWND pane = CreateWindowExW(WS_EX_CLIENTEDGE, RICHEDIT_CLASSW, L"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                    ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                                0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                GetModuleHandleW(nullptr), nullptr);
    if (pane == nullptr)
        return nullptr;
    SendMessageW(pane, EM_EXLIMITTEXT, 0, 0x7fffffff);
    SendMessageW(pane, EM_SETTARGETDEVICE, 0, 1);  // no wrapping: a table line stays one line
    if (paneFont != nullptr)
        DeleteObject(paneFont);
    paneFont = CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                             L"Courier New");
    SendMessageW(pane, WM_SETFONT, reinterpret_cast<WPARAM>(paneFont), FALSE);

    PARAFORMAT2 tabs = {};
    tabs.cbSize = sizeof tabs;
    tabs.dwMask = PFM_TABSTOPS;
    tabs.cTabCount = MAX_TAB_STOPS;
    LONG tab = MulDiv(8 * cellSize(pane).cx, 1440, dpi);  // in twips
    for (int i = 0; i < MAX_TAB_STOPS; ++i)
        tabs.rgxTabs[i] = tab * (i + 1);
    SendMessageW(pane, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&tabs));

    pending[0].clear();
    pending[1].clear();
    pendingLineEnd = false;
    lastError = false;
    empty = true;
    return pane;
}

SIZE outputPaneSize(HWND pane)
{
    SIZE cell = cellSize(pane);
    return {paneColumns * cell.cx + GetSystemMetrics(SM_CXVSCROLL) + 2 * GetSystemMetrics(SM_CXEDGE),
            paneLines * cell.cy + GetSystemMetrics(SM_CYHSCROLL) + 2 * GetSystemMetrics(SM_CYEDGE)};
}

void paneAppend(HWND pane, const std::vector<CapturedText>& texts)
{
    if (pane == nullptr || texts.empty())
        return;
    bool following = showsEnd(pane);
    POINT scrolled;
    SendMessageW(pane, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
    CHARRANGE selection;
    SendMessageW(pane, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
    SendMessageW(pane, WM_SETREDRAW, FALSE, 0);
    for (const CapturedText& text : texts) {
        std::wstring decoded = paragraphs(decode(pending[text.error], text.bytes));
        if (decoded.empty())
            continue;
        // A line begun on one stream is ended before the other stream's text;
        // the pane's last line is never an empty one.
        bool lineEnd = pendingLineEnd || (!empty && text.error != lastError);
        pendingLineEnd = decoded.back() == L'\r';
        if (pendingLineEnd)
            decoded.pop_back();
        if (lineEnd)
            decoded.insert(decoded.begin(), L'\r');
        insertAtEnd(pane, decoded, text.error);
        empty = false;
        lastError = text.error;
    }
    keepBounded(pane);
    SendMessageW(pane, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selection));
    SendMessageW(pane, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(pane, nullptr, TRUE);
    // The view follows the end, or stays where the operator scrolled it.
    if (following)
        SendMessageW(pane, WM_VSCROLL, SB_BOTTOM, 0);
    else
        SendMessageW(pane, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scrolled));
}
