// This file contains the interface of the output pane: the read-only view of
// the program's standard output and error in a panel's window.
#ifndef KOVO_UI_QT_OUTPUT_PANE_H
#define KOVO_UI_QT_OUTPUT_PANE_H

#include <QPlainTextEdit>
#include <QTextFormat>
#include <vector>

#include "output_capture.h"

/* The object name of the pane, and the text property that marks what came
 * from standard error (set to true on that text's character format). */
inline constexpr const char* outputPaneName = "output pane";
inline constexpr int errorTextProperty = QTextFormat::UserProperty;

/* A new, empty pane; only one is fed at a time. */
QPlainTextEdit* createOutputPane(void);

/* Appends the captured text to the pane in its order, standard error's in the
 * error colour, and follows the end when the view was there already. */
void paneAppend(QPlainTextEdit* pane, const std::vector<CapturedText>& texts);

#endif /* KOVO_UI_QT_OUTPUT_PANE_H */
