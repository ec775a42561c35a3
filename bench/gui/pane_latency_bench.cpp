// This file contains the latency benchmark of the window's output pane on Qt's
// offscreen platform: a callback prints 1,000 lines, one at a time, and each
// line's time from the start of its printf to the pane's first paint that
// shows it is taken. Reported as the median and the worst line; the targets
// are 20 ms and 100 ms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWindow>
#include <QTextBlock>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "frontend.h"
#include "output_pane.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int lineCount = 1000;

const char* const panelText = R"([[panel]]
resource = 1
name = "BENCH"

[[panel.control]]
id = 1
name = "LINES"
kind = "command"
callback = "BenchLinesCB"
)";

QPlainTextEdit* pane;
QPushButton* button;
std::vector<Clock::time_point> written;  // when each line's printf started
std::vector<double> latencies;           // ms from then to the paint that showed it

// Takes the time of each paint that shows the newest line not yet seen painted.
struct PaintWatch : QObject {
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::Paint || latencies.size() >= written.size())
            return false;
        QString last = pane->document()->lastBlock().text();
        size_t line = last.mid(5).toULong();
        if (!last.startsWith(QLatin1String("line ")) || line + 1 != written.size())
            return false;
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - written[line]).count();
        // Lines painted together take the same paint.
        while (latencies.size() < written.size())
            latencies.push_back(ms);
        return false;
    }
};

int panelHandle;

void paneLatency(benchmark::State& state)
{
    for (auto _ : state) {
        written.clear();
        latencies.clear();
        written.reserve(lineCount);
        button->click();  // as the operator's click does
    }
    if (latencies.size() != written.size()) {
        state.SkipWithError(("only " + std::to_string(latencies.size()) + " of the lines were painted").c_str());
        return;
    }
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    state.counters["median_ms"] = sorted[sorted.size() / 2];
    state.counters["worst_ms"] = sorted.back();
    state.counters["lines"] = static_cast<double>(sorted.size());
}

BENCHMARK(paneLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

extern "C" int CVICALLBACK BenchLinesCB(int, int, int event, void*, int, int)
{
    if (event != EVENT_COMMIT)
        return 0;
    for (int i = 0; i < lineCount; ++i) {
        written.push_back(Clock::now());
        printf("line %d\n", i);
    }
    return 0;
}

// The lines printed go to /dev/null, as they would bury the report, which is
// written where standard output went before.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    int report = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    static char name[] = "pane_latency_bench";
    static char* args[] = {name, nullptr};
    if (uiGraphicalFrontend.start(1, args) == 0)
        return 1;
    uiUseFrontend(&uiGraphicalFrontend);
    std::string file = std::filesystem::temp_directory_path() / ("kovo-bench-" + std::to_string(getpid()) + ".uir");
    std::ofstream(file) << panelText;
    panelHandle = LoadPanel(0, file.c_str(), 1);
    std::filesystem::remove(file);
    if (panelHandle < 0 || DisplayPanel(panelHandle) != 0)
        return 1;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* found = top->findChild<QPlainTextEdit*>(outputPaneName)) {
            pane = found;
            button = top->findChild<QPushButton*>("LINES");
        }
    PaintWatch watch;
    pane->viewport()->installEventFilter(&watch);
    while (!pane->window()->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    // The report goes where standard output went before.
    std::ofstream reportStream("/dev/fd/" + std::to_string(report));
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&reportStream);
    reporter.SetErrorStream(&reportStream);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    DiscardPanel(panelHandle);
    benchmark::Shutdown();
    return 0;
}
