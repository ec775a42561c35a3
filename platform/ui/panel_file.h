// This file contains the interface of the panel file reader, used by the run-time's core.
#ifndef KOVO_UI_PANEL_FILE_H
#define KOVO_UI_PANEL_FILE_H

#include <string_view>

#include "frontend.h"

/* Reads panel resourceId from the panel file fileName into *panel (its handle
 * and display state are left to the caller). A fileName without a folder is
 * looked for in the working folder, then in the folder of the program's
 * executable. The reader binds each control's callback to the program's
 * control callback (CVICALLBACK) of that name. Returns 0; UI_ERR_FILE, writing
 * nothing, when the file cannot be opened; UI_ERR_BAD_FILE, after one line
 * "file:line: what is wrong" on standard error, for any fault in the file. */
int uiReadPanelFile(const char* fileName, int resourceId, UiPanel* panel);

/* As uiReadPanelFile, from the file's text already read; fileName names it in
 * messages. Never returns UI_ERR_FILE. */
int uiReadPanelText(const char* fileName, std::string_view text, int resourceId, UiPanel* panel);

#endif /* KOVO_UI_PANEL_FILE_H */
