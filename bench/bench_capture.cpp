// The capture as the user starts it: Command1_Click, from the click to
// "Done.", with the real headless Chromium, for striped pages 1280 px wide
// (1,260 px of document plus the capture's 20-pixel margin) of 2,000, 20,000
// and 100,000 px. Each capture runs in a fresh process so that its peak
// memory is its own; the figures are medians of 5.
//
//   bench_capture                  all heights, 5 runs each
//   bench_capture --run HEIGHT     one capture; prints "ms peakMiB verdict"
#include "app/frmmain.h"
#include "fakes/scripteduiservices.h"
#include "platform/cdp/chromiumbrowser.h"
#include "support/pageload.h"
#include "support/peakmemory.h"
#include "support/selfrun.h"
#include "support/stripedpage.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace snapvel;

namespace {

constexpr int kDocumentWidth = 1260;

int runCapture(int height)
{
    QTemporaryDir dir;
    QFile page(dir.filePath(QStringLiteral("page.html")));
    if (!page.open(QIODevice::WriteOnly) ||
        page.write(test::stripedPageHtml(kDocumentWidth, height)) < 0)
        return 1;
    page.close();

    ChromiumBrowser browser;
    test::ScriptedUiServices ui;
    frmMain form(browser, ui, [] {});
    form.Timer1->stop();
    if (!test::loadAndWait(browser, page.fileName()))
        return 1;

    QElapsedTimer timer;
    timer.start();
    form.Command1_Click();
    const qint64 elapsed = timer.elapsed();
    const double peak = test::peakMemoryMiB(); // before the check copies the picture

    const bool done = ui.boxes.size() == 1 && ui.boxes[0].prompt == QStringLiteral("Done.");
    const bool correct =
        done && test::checkStripes(form.capture().copy(0, 0, kDocumentWidth, height),
                                   kDocumentWidth, height) < 0;
    std::printf("%lld %.0f %s\n", static_cast<long long>(elapsed), peak,
                correct ? "correct" : "WRONG");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--run"))
        return runCapture(arguments.value(1).toInt());

    constexpr int runs = 5;
    for (const int height : {2000, 20000, 100000}) {
        QList<double> times;
        QList<double> peaks;
        QStringList verdicts;
        for (int run = 0; run < runs; ++run) {
            const QStringList fields = bench::runSelf({QString::number(height)});
            times << fields.value(0).toDouble();
            peaks << fields.value(1).toDouble();
            verdicts << (fields.size() < 3 ? QStringLiteral("failed") : fields.at(2));
        }
        verdicts.removeDuplicates();
        std::printf("capture 1280 x %-7d click to \"Done.\" %7.0f ms %6.0f MiB peak  %s  "
                    "(median of %d)\n",
                    height, bench::median(times), bench::median(peaks),
                    qPrintable(verdicts.join(',')), runs);
        std::fflush(stdout);
    }
    return 0;
}
