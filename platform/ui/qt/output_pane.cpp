// This file contains the output pane: the program's standard output and error
// as a read-only, fixed-pitch text view, the error text in red and marked.
#include "output_pane.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QStringDecoder>
#include <QTextCursor>

namespace {

// A stream's bytes may end inside a UTF-8 sequence: each has its own decoder.
QStringDecoder decoders[2];
bool pendingNewline;  // the last text ended a line: the break is added with the next text
bool lastError;       // the last text came from standard error
bool empty;

QTextCharFormat formatFor(bool error)
{
    QTextCharFormat format;
    if (error) {
        format.setForeground(QColor(0xb0, 0x00, 0x00));
        format.setProperty(errorTextProperty, true);
    }
    return format;
}

}  // namespace

QPlainTextEdit* createOutputPane(void)
{
    auto* pane = new QPlainTextEdit;
    pane->setObjectName(outputPaneName);
    pane->setReadOnly(true);
    pane->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane->setMaximumBlockCount(100000);  // keeps a long session's memory bounded
    pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QFontMetricsF metrics(pane->font());
    pane->setTabStopDistance(8 * metrics.horizontalAdvance(' '));
    // Wide enough for a status table line, tall enough for most of a crate's channels.
    pane->setMinimumSize(static_cast<int>(118 * metrics.horizontalAdvance(' ')),
                         static_cast<int>(24 * metrics.lineSpacing()));
    for (QStringDecoder& decoder : decoders)
        decoder = QStringDecoder(QStringDecoder::Utf8);
    pendingNewline = false;
    lastError = false;
    empty = true;
    return pane;
}

void paneAppend(QPlainTextEdit* pane, const std::vector<CapturedText>& texts)
{
    QScrollBar* bar = pane->verticalScrollBar();
    bool following = bar->value() == bar->maximum();
    QTextCursor cursor(pane->document());
    cursor.movePosition(QTextCursor::End);
    for (const CapturedText& text : texts) {
        QString decoded = decoders[text.error](QByteArrayView(text.bytes.data(), text.bytes.size()));
        if (decoded.isEmpty())
            continue;
        // A line begun on one stream is ended before the other stream's text.
        QString insert = pendingNewline || (!empty && text.error != lastError) ? QStringLiteral("\n") : QString();
        pendingNewline = decoded.endsWith(u'\n');
        if (pendingNewline)
            decoded.chop(1);
        cursor.insertText(insert + decoded, formatFor(text.error));
        empty = false;
        lastError = text.error;
    }
    if (following)
        bar->setValue(bar->maximum());
}
