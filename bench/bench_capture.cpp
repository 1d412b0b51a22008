// The capture job with the real headless Chromium, for striped pages 1280 px
// wide (1,260 px of document plus the window's 20-pixel margin) of 2,000,
// 20,000 and 100,000 px: from the start of the job to its picture, with the
// time of each phase, painting bands one after another ("sequential": each
// band is decoded before the next is asked for) and with decoding overlapped
// with painting ("overlapped", what the program does). Each capture runs in a
// fresh process so that its peak memory is its own; the two ways alternate
// and each figure is the median of 5.
//
//   bench_capture                          all heights, both ways, 5 runs each
//   bench_capture --run HEIGHT AHEAD       one capture with decodeAhead AHEAD;
//                                          prints "total measure paint decode
//                                          peakMiB verdict"
#include "fakes/runjob.h"
#include "platform/cdp/chromiumbrowser.h"
#include "snapshot/capturejob.h"
#include "support/pageload.h"
#include "support/peakmemory.h"
#include "support/selfrun.h"
#include "support/stripedpage.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>

using namespace snapvel;

namespace {

constexpr int kDocumentWidth = 1260;

int runCapture(int height, int decodeAhead)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("page.html")));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(test::stripedPageHtml(kDocumentWidth, height)) < 0)
        return 1;
    file.close();

    ChromiumBrowser browser;
    Page *page = browser.openPage();
    if (!page->setLayoutViewport({1280, 800}).ok() || !test::loadAndWait(*page, file.fileName()))
        return 1;

    CaptureOptions options;
    options.decodeAhead = decodeAhead;
    CaptureJob job(*page, options);
    const Result<QImage> captured = test::runToEnd(job);
    const double peak = test::peakMemoryMiB(); // before the check copies the picture
    if (!captured)
        std::fprintf(stderr, "capture failed: %s\n", qPrintable(captured.error()));
    const bool correct =
        captured && test::checkStripes(captured.value().copy(0, 0, kDocumentWidth, height),
                                       kDocumentWidth, height) < 0;
    const CaptureTimings &t = job.timings();
    std::printf("%lld %lld %lld %lld %.0f %s\n", static_cast<long long>(t.total),
                static_cast<long long>(t.measure), static_cast<long long>(t.paint),
                static_cast<long long>(t.decode), peak, correct ? "correct" : "WRONG");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--run"))
        return runCapture(arguments.value(1).toInt(), arguments.value(2).toInt());

    constexpr int runs = 5;
    const QList<QPair<const char *, int>> ways{{"sequential", 0}, {"overlapped", 2}};
    for (const int height : {2000, 20000, 100000}) {
        QHash<int, QList<QList<double>>> figures; // way -> column -> values
        QHash<int, QStringList> verdicts;
        for (int run = 0; run < runs; ++run) {
            for (const auto &way : ways) {
                const QStringList fields =
                    bench::runSelf({QString::number(height), QString::number(way.second)});
                QList<QList<double>> &columns = figures[way.second];
                columns.resize(5);
                for (int column = 0; column < 5; ++column)
                    columns[column] << fields.value(column).toDouble();
                verdicts[way.second]
                    << (fields.size() < 6 ? QStringLiteral("failed") : fields.at(5));
            }
        }
        for (const auto &way : ways) {
            QList<QList<double>> &columns = figures[way.second];
            QStringList &verdict = verdicts[way.second];
            verdict.removeDuplicates();
            std::printf("capture 1280 x %-7d %-10s total %6.0f ms  measure %4.0f  paint %6.0f  "
                        "decode %5.0f  %5.0f MiB peak  %s  (median of %d)\n",
                        height, way.first, bench::median(columns[0]), bench::median(columns[1]),
                        bench::median(columns[2]), bench::median(columns[3]),
                        bench::median(columns[4]), qPrintable(verdict.join(',')), runs);
        }
        std::fflush(stdout);
    }
    return 0;
}
