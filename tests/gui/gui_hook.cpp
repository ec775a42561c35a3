// This file contains the GUI hook: a library that tests and the screenshot
// script preload into the real panel program (LD_PRELOAD) to act as its
// operator. Once the first window is on the screen it performs the steps in
// $KOVO_GUI_HOOK, separated by ';':
//
//   tell FD       write "shown\n" on descriptor FD (inherited from the caller)
//   locate FD NAME...  write "window ID\n" (its X window), then "NAME X Y\n" for
//                 each widget named, its centre on the screen, then "located\n"
//   watch FD      from now on write on FD "exposed\n" whenever the window
//                 system asks to repaint the window (an Expose), "busy TEXT\n"
//                 when the status bar shows TEXT and "idle\n" when it clears
//   press NAME    click the button or check box whose object name is NAME
//   pane FILE     write the output pane's text into FILE
//   shot FILE     take the window from the screen into FILE, a PNG image
//   close         close the window as the window manager's close button does
//
// A step that cannot be done ends the program with exit status 3 after one
// line on standard error, so a test sees it at once.
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void giveUp(const QString& why)
{
    fprintf(stderr, "gui hook: %s\n", qPrintable(why));
    std::exit(3);
}

QWidget* child(QWidget* window, const QString& name)
{
    QWidget* found = window->findChild<QWidget*>(name);
    if (found == nullptr)
        giveUp(QStringLiteral("the window has no widget named \"%1\"").arg(name));
    return found;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        giveUp(QStringLiteral("cannot write %1").arg(path));
}

void tell(int fd, const QByteArray& text)
{
    if (write(fd, text.data(), static_cast<size_t>(text.size())) != text.size())
        giveUp(QStringLiteral("cannot tell descriptor %1").arg(fd));
}

// Tells fd of every Expose of the window it watches and of its status bar's messages.
class Watch : public QObject {
public:
    Watch(QWidget* window, int fd) : QObject(window), fd(fd)
    {
        window->windowHandle()->installEventFilter(this);
        auto* bar = window->findChild<QStatusBar*>();
        if (bar == nullptr)
            giveUp(QStringLiteral("the window has no status bar"));
        connect(bar, &QStatusBar::messageChanged, this, [fd](const QString& text) {
            tell(fd, text.isEmpty() ? QByteArray("idle\n") : "busy " + text.toUtf8() + "\n");
        });
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Expose)
            tell(fd, "exposed\n");
        return false;
    }

private:
    int fd;
};

void perform(QWidget* window, const QString& step)
{
    QString verb = step.section(u' ', 0, 0, QString::SectionSkipEmpty);
    QString argument = step.section(u' ', 1, -1, QString::SectionSkipEmpty);
    if (verb == QLatin1String("tell")) {
        tell(argument.toInt(), "shown\n");
    } else if (verb == QLatin1String("locate")) {
        QStringList words = argument.split(u' ', Qt::SkipEmptyParts);
        int fd = words.takeFirst().toInt();
        QByteArray text = "window " + QByteArray::number(window->winId()) + "\n";
        for (const QString& name : words) {
            QWidget* found = child(window, name);
            QPoint centre = found->mapToGlobal(found->rect().center());
            text += name.toUtf8() + ' ' + QByteArray::number(centre.x()) + ' ' + QByteArray::number(centre.y()) + '\n';
        }
        tell(fd, text + "located\n");
    } else if (verb == QLatin1String("watch")) {
        new Watch(window, argument.toInt());
    } else if (verb == QLatin1String("press")) {
        auto* button = qobject_cast<QAbstractButton*>(child(window, argument));
        if (button == nullptr)
            giveUp(QStringLiteral("%1 is not a button").arg(argument));
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (verb == QLatin1String("pane")) {
        auto* pane = qobject_cast<QPlainTextEdit*>(child(window, QStringLiteral("output pane")));
        writeFile(argument, pane->toPlainText().toUtf8() + '\n');
    } else if (verb == QLatin1String("shot")) {
        window->repaint();
        QPixmap shot = window->screen()->grabWindow(window->winId());
        if (shot.isNull() || !shot.save(argument, "PNG"))
            giveUp(QStringLiteral("cannot take the window into %1").arg(argument));
    } else if (verb == QLatin1String("close")) {
        window->close();
    } else if (!verb.isEmpty()) {
        giveUp(QStringLiteral("unknown step \"%1\"").arg(step));
    }
}

// Waits for the first top-level widget window to be exposed on the screen,
// then performs the steps from the event loop, once.
class Operator : public QObject {
public:
    bool eventFilter(QObject* target, QEvent* event) override
    {
        auto* window = qobject_cast<QWindow*>(target);
        if (done || event->type() != QEvent::Expose || window == nullptr || !window->isExposed())
            return false;
        QWidget* widget = nullptr;
        for (QWidget* topLevel : QApplication::topLevelWidgets())
            if (topLevel->windowHandle() == window)
                widget = topLevel;
        if (widget == nullptr)
            return false;
        done = true;
        QPointer<QWidget> guarded(widget);
        QMetaObject::invokeMethod(
            qApp,
            [guarded] {
                for (const QString& step : qEnvironmentVariable("KOVO_GUI_HOOK").split(u';')) {
                    if (guarded == nullptr)
                        giveUp(QStringLiteral("the window went before \"%1\"").arg(step.trimmed()));
                    perform(guarded, step.trimmed());
                }
            },
            Qt::QueuedConnection);
        return false;
    }

private:
    bool done = false;
};

void install()
{
    if (qEnvironmentVariableIsSet("KOVO_GUI_HOOK"))
        QCoreApplication::instance()->installEventFilter(new Operator);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(install)
