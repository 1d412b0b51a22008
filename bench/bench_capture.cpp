// Times one capture (Command1_Click, from the click to "Done.") of a striped
// page 1280 px wide, with the real headless Chromium, and reports the
// process's peak memory. One capture per process, so each run's peak is its
// own: scripts/bench runs it several times per height.
//
//   bench_capture HEIGHT
#include "app/frmmain.h"
#include "fakes/scripteduiservices.h"
#include "platform/cdp/chromiumbrowser.h"
#include "support/stripedpage.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

using namespace snapvel;

namespace {

double peakMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int height = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    const int width = 1260; // plus the capture's 20-pixel margin: 1280 wide

    QTemporaryDir dir;
    QFile page(dir.filePath(QStringLiteral("page.html")));
    if (!page.open(QIODevice::WriteOnly) || page.write(test::stripedPageHtml(width, height)) < 0)
        return 1;
    page.close();

    ChromiumBrowser browser;
    test::ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});
    form.Timer1->stop();
    QSignalSpy completed(&browser, &Browser::documentComplete);
    if (!browser.navigate(page.fileName()))
        return 1;
    if (!QTest::qWaitFor([&] { return !completed.isEmpty() && completed.last().value(0).toBool(); },
                         60000)) {
        std::fprintf(stderr, "the page did not load\n");
        return 1;
    }

    const double before = peakMiB();
    QElapsedTimer timer;
    timer.start();
    form.Command1_Click();
    const qint64 ms = timer.elapsed();
    const double peak = peakMiB(); // before the check below copies the picture

    const bool done = ui.boxes.size() == 1 && ui.boxes[0].prompt == QStringLiteral("Done.");
    const int wrongRow = test::checkStripes(form.capture().copy(0, 0, width, height), width, height);
    std::printf("capture 1280 x %d: %lld ms, peak %.0f MiB (%.0f MiB before the capture), %s\n",
                height, static_cast<long long>(ms), peak, before,
                done && wrongRow < 0 ? "whole and correct" : "WRONG");
    return done && wrongRow < 0 ? 0 : 1;
}
