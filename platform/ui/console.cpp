// This file contains the console front end: operator actions read from
// standard input one a line (set, press, event, show), for scripts, pipes and
// terminals without a display. Everything it writes goes to standard error,
// so that standard output carries only the program's own lines.
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "frontend.h"

std::istream* uiConsoleInput = &std::cin;

namespace {

bool interactive;  // standard input is a terminal: show the panel and prompt
int lineNumber;    // of the input line being performed, for messages

using Words = std::vector<std::string>;

__attribute__((format(printf, 1, 2))) void complain(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "line %d: %s\n", lineNumber, text);
}

// The control named by word (its name, or its id in decimal) on the first
// displayed panel that has it; NULL after complaining when there is none.
const UiControl* findControl(const std::string& word, int* panel)
{
    int id = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), id);
    bool byId = error == std::errc() && end == word.data() + word.size();
    for (const UiPanel* p : uiDisplayedPanels())
        for (const UiControl& c : p->controls)
            if (byId ? c.id == id : c.name == word) {
                *panel = p->handle;
                return &c;
            }
    complain("unknown control \"%s\"", word.c_str());
    return nullptr;
}

// Reads the whole of word as a number in the C locale's notation (a point
// before the decimals, whatever the desktop's locale says).
bool readNumber(const std::string& word, double* value)
{
    const char* begin = word.data() + (word.size() > 1 && word[0] == '+');
    auto [end, error] = std::from_chars(begin, word.data() + word.size(), *value);
    return error == std::errc() && end == word.data() + word.size() && std::isfinite(*value);
}

void set(const Words& words)
{
    int panel = 0;
    const UiControl* control = findControl(words[1], &panel);
    if (control == nullptr)
        return;
    double value = 0.0;
    if (control->kind == UI_COMMAND) {
        complain("%s is a command button: use press %s", control->name.c_str(), control->name.c_str());
    } else if (control->kind == UI_TOGGLE && words[2] != "0" && words[2] != "1") {
        complain("%s is a toggle: its value is 0 or 1, not \"%s\"", control->name.c_str(), words[2].c_str());
    } else if (!readNumber(words[2], &value)) {
        complain("%s takes a number, not \"%s\"", control->name.c_str(), words[2].c_str());
    } else {
        std::string why;
        if (uiOperatorSets(panel, control->id, value, &why) == UI_ERR_VALUE)
            complain("%s", why.c_str());
    }
}

void press(const Words& words)
{
    int panel = 0;
    const UiControl* control = findControl(words[1], &panel);
    if (control == nullptr)
        return;
    if (control->kind != UI_COMMAND)
        complain("%s is not a command button: use set %s VALUE", control->name.c_str(), control->name.c_str());
    else
        uiOperatorEvent(panel, control->id, EVENT_COMMIT);
}

void event(const Words& words)
{
    int panel = 0;
    const UiControl* control = findControl(words[1], &panel);
    if (control == nullptr)
        return;
    int code = 0;
    auto [end, error] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), code);
    if (error != std::errc() || end != words[2].data() + words[2].size())
        complain("an event code is an integer, not \"%s\"", words[2].c_str());
    else
        uiOperatorEvent(panel, control->id, code);
}

void printPanel(const UiPanel* panel)
{
    fprintf(stderr, "panel %s \"%s\"\n", panel->name.c_str(), panel->title.c_str());
    fprintf(stderr, "  %4s  %-16s %-8s %-12s %s\n", "id", "control", "kind", "value", "label");
    for (const UiControl& c : panel->controls)
        fprintf(stderr, "  %4d  %-16s %-8s %-12s %s\n", c.id, c.name.c_str(), uiKindName(c.kind),
                uiFormatValue(&c).c_str(), c.label.c_str());
}

void show(const Words&)
{
    for (const UiPanel* panel : uiDisplayedPanels())
        printPanel(panel);
}

void help(const Words&);

// The operator's commands: the word that starts the line, how many words
// follow it, what it does, how it is written and what it means.
struct Command {
    const char* word;
    size_t arguments;
    void (*perform)(const Words& words);
    const char* usage;
    const char* meaning;
};
const Command commands[] = {
    {"set", 2, set, "set CONTROL VALUE", "enter VALUE into a toggle (0 or 1) or a numeric"},
    {"press", 1, press, "press CONTROL", "press a command button"},
    {"event", 2, event, "event CONTROL CODE", "send event CODE to the control's callback"},
    {"show", 0, show, "show", "list the controls and their values"},
    {"help", 0, help, "help", "list these commands"},
};

void help(const Words&)
{
    fprintf(stderr, "CONTROL is a control's name or id; end of input quits.\n");
    for (const Command& command : commands)
        fprintf(stderr, "  %-20s %s\n", command.usage, command.meaning);
}

void perform(const std::string& line)
{
    std::istringstream split(line);
    Words words{std::istream_iterator<std::string>(split), std::istream_iterator<std::string>()};
    if (words.empty() || words[0][0] == '#')
        return;
    for (const Command& command : commands) {
        if (words[0] != command.word)
            continue;
        if (words.size() != command.arguments + 1)
            complain("usage: %s", command.usage);
        else
            command.perform(words);
        return;
    }
    complain("unknown command \"%s\" (set, press, event, show, help)", words[0].c_str());
}

int start(int, char*[])
{
    interactive = isatty(STDIN_FILENO);
    return 1;
}

void showPanel(const UiPanel* panel)
{
    if (interactive) {
        printPanel(panel);
        fputs("Type help for the commands.\n", stderr);
    }
}

void discardPanel(const UiPanel*) {}

void valueSet(const UiPanel*, const UiControl*) {}

void runLoop()
{
    lineNumber = 0;
    std::string line;
    while (!uiQuitRequested()) {
        if (interactive)
            fputs("> ", stderr);
        if (!std::getline(*uiConsoleInput, line)) {
            if (interactive)
                fputs("\n", stderr);
            QuitUserInterface(0);
            return;
        }
        ++lineNumber;
        perform(line);
    }
}

void quit() {}

}  // namespace

const UiFrontend uiConsoleFrontend = {"console", start, showPanel, discardPanel, valueSet, runLoop, quit};
