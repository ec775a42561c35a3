// This file contains window_peek, the Windows side of the window tests under
// Wine: it looks at another program's panel window as the operator sees it
// and answers on standard output, one request a line on standard input:
//
//   find TITLE   wait (60 s at most) for the shown window titled TITLE;
//                answers "window XID" (its X window) or "missing"
//   controls     one line per control, tab-separated: its name as the operator
//                reads it (a button's text, a field's label; "pane", "status"),
//                1 when enabled or 0, and its centre on the screen; then "end"
//   text NAME    that control's text, as "SIZE\n" and SIZE bytes of UTF-8,
//                line ends as "\n"
//   lines NAME   where that edit control's view is: "FIRST LAST COUNT", the
//                first and the last line it shows whole and how many lines it
//                has, counted from 0
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

HWND window;

std::string utf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

// A window's text through WM_GETTEXT, which Windows carries across processes.
std::string textOf(HWND hwnd)
{
    DWORD_PTR length = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_BLOCK, 5000, &copied);
    text.resize(copied);
    std::string bytes;
    for (char c : utf8(text))
        if (c != '\r')
            bytes += c;
    return bytes;
}

// The name the operator knows a control by; "" for what is no control.
std::string nameOf(HWND hwnd)
{
    wchar_t kind[64] = L"";
    GetClassNameW(hwnd, kind, 64);
    std::wstring type = kind;
    if (type == L"Button")
        return textOf(hwnd);
    if (type == L"Edit")
        return textOf(GetWindow(hwnd, GW_HWNDPREV));  // the label made just before the field
    if (type.rfind(L"RichEdit", 0) == 0)
        return "pane";
    if (type == L"Static" && (GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_STATICEDGE) != 0)
        return "status";
    return "";
}

std::vector<HWND> children()
{
    std::vector<HWND> found;
    EnumChildWindows(
        window, [](HWND hwnd, LPARAM list) { return reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd), TRUE; },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

void find(const std::string& title)
{
    std::wstring wide(title.begin(), title.end());  // titles here are ASCII
    for (int waited = 0; waited < 60000; waited += 20) {
        window = FindWindowW(nullptr, wide.c_str());
        if (window != nullptr && IsWindowVisible(window)) {
            printf("window %llu\n", static_cast<unsigned long long>(
                                        reinterpret_cast<uintptr_t>(GetPropW(window, L"__wine_x11_whole_window"))));
            return;
        }
        Sleep(20);
    }
    printf("missing\n");
}

void controls()
{
    for (HWND hwnd : children()) {
        std::string name = nameOf(hwnd);
        RECT box;
        if (name.empty() || !GetWindowRect(hwnd, &box))
            continue;
        printf("%s\t%d\t%ld\t%ld\n", name.c_str(), IsWindowEnabled(hwnd) ? 1 : 0, (box.left + box.right) / 2,
               (box.top + box.bottom) / 2);
    }
    printf("end\n");
}

HWND controlNamed(const std::string& name)
{
    for (HWND hwnd : children())
        if (nameOf(hwnd) == name)
            return hwnd;
    return nullptr;
}

void text(const std::string& name)
{
    HWND hwnd = controlNamed(name);
    std::string found = hwnd != nullptr ? textOf(hwnd) : "";
    printf("%zu\n", found.size());
    fwrite(found.data(), 1, found.size(), stdout);
}

// Where line's first character is drawn, from the top of the client area. The
// character index goes in wParam, the position comes back in the result: the
// form that needs no pointer into the other process.
long lineTop(HWND hwnd, LRESULT line)
{
    LRESULT at = SendMessageW(hwnd, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
    return static_cast<short>(HIWORD(SendMessageW(hwnd, EM_POSFROMCHAR, static_cast<WPARAM>(at), 0)));
}

void lines(const std::string& name)
{
    HWND hwnd = controlNamed(name);
    LRESULT first = SendMessageW(hwnd, EM_GETFIRSTVISIBLELINE, 0, 0);
    LRESULT count = SendMessageW(hwnd, EM_GETLINECOUNT, 0, 0);
    RECT client = {};
    GetClientRect(hwnd, &client);
    LRESULT last = first;
    long height = count > 1 ? lineTop(hwnd, 1) - lineTop(hwnd, 0) : 0;  // one font: one line height
    if (height > 0)
        last = std::min<LRESULT>(count - 1, first + (client.bottom - lineTop(hwnd, first)) / height - 1);
    printf("%lld %lld %lld\n", static_cast<long long>(first), static_cast<long long>(last),
           static_cast<long long>(count));
}

}  // namespace

int main()
{
    _setmode(_fileno(stdout), _O_BINARY);
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string word = line.substr(0, line.find(' '));
        std::string rest = line.size() > word.size() ? line.substr(word.size() + 1) : "";
        if (word == "find")
            find(rest);
        else if (word == "controls")
            controls();
        else if (word == "text")
            text(rest);
        else if (word == "lines")
            lines(rest);
        else
            printf("unknown request \"%s\"\n", line.c_str());
        fflush(stdout);
    }
    return 0;
}
