// Figures for the Chromium browser layer, with the program's own code:
//  - start-up: constructing ChromiumBrowser, navigating to a small page, until
//    the top-level document completes (median of 5, each a fresh Chromium);
//  - painting a striped 1280 x 20,000 page (median of 5), a 1280 x 100,000
//    one and a 1280 x 20,000 page of random pixels (once each) through the
//    capture job: its time and the process's peak memory (VmHWM; Chromium's own memory is
//    not included);
//  - the band height: a 1280 x 100,000 striped page (checked row by row) and
//    a 1280 x 50,000 page of text painted in bands of several heights, to
//    show which is the cheapest correct one.
// Every measurement runs in its own process, so that each peak is its own.
//
//   bench_browser                       all of the above
//   bench_browser --run startup         one start-up
//   bench_browser --run paint KIND H [BAND]
//                                       one paint of a 1280 x H page of
//                                       stripes, noise or text
#include "fakes/runjob.h"
#include "platform/cdp/chromiumbrowser.h"
#include "snapshot/capturejob.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/peakmemory.h"
#include "support/selfrun.h"
#include "support/stripedpage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>

#include <algorithm>
#include <cstdio>

using namespace snapvel;

namespace {

constexpr int Width = 1280;

// One start-up: prints its milliseconds.
int runStartup()
{
    test::PageServer server;
    server.addPage(QStringLiteral("/small.html"),
                   "<!DOCTYPE html><html><body><p>small</p></body></html>");
    QElapsedTimer timer;
    timer.start();
    ChromiumBrowser browser;
    if (!test::loadAndWait(*browser.openPage(),
                           server.url(QStringLiteral("/small.html")).toString())) {
        std::fprintf(stderr, "start-up failed\n");
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(timer.elapsed()));
    return 0;
}

// A page exactly Width x height of random pixels, which PNG cannot compress:
// the largest replies the browser sends.
QByteArray noisePageHtml(int height)
{
    return "<!DOCTYPE html><html><body style=\"margin:0\"><script>"
           "const width = " +
           QByteArray::number(Width) + ", height = " + QByteArray::number(height) +
           ";\n"
           "for (let top = 0; top < height; top += 2000) {\n"
           "  const canvas = document.createElement('canvas');\n"
           "  canvas.width = width; canvas.height = Math.min(2000, height - top);\n"
           "  canvas.style.display = 'block';\n"
           "  const context = canvas.getContext('2d');\n"
           "  const image = context.createImageData(canvas.width, canvas.height);\n"
           "  const words = new Uint32Array(image.data.buffer);\n"
           "  for (let i = 0; i < words.length; ++i)\n"
           "    words[i] = (Math.random() * 0x1000000) | 0xff000000;\n"
           "  context.putImageData(image, 0, 0);\n"
           "  document.body.appendChild(canvas);\n"
           "}</script></body></html>";
}

// A page of ordinary text, height px tall: the layout and painting work of a
// long article or manual.
QByteArray textPageHtml(int height)
{
    QByteArray html = "<!DOCTYPE html><html><head><style>body{margin:0;font:16px/20px serif}"
                      "p{margin:0;height:100px;overflow:hidden}</style></head><body>";
    const QByteArray words = "The quick brown fox jumps over the lazy dog, <b>again</b> and "
                             "<i>again</i>, while the <a href=\"#\">river</a> runs by. ";
    for (int top = 0; top < height; top += 100)
        html += "<p>" + words.repeated(8) + "</p>";
    return html + "</body></html>";
}

// One paint of a page (stripes, noise or text): prints milliseconds, peak
// MiB and, for stripes, whether every row came out right.
int runPaint(const QString &kind, int height, int bandHeight)
{
    test::PageServer server;
    server.addPage(QStringLiteral("/tall.html"),
                   kind == QLatin1String("noise")  ? noisePageHtml(height)
                   : kind == QLatin1String("text") ? textPageHtml(height)
                                                   : test::stripedPageHtml(Width, height));
    ChromiumBrowserOptions options;
    options.pageTimeouts.paint = std::chrono::milliseconds(120000);
    ChromiumBrowser browser(options);
    Page *page = browser.openPage();
    if (!test::loadAndWait(*page, server.url(QStringLiteral("/tall.html")).toString(), 120000)) {
        std::fprintf(stderr, "the page could not be loaded\n");
        return 1;
    }
    // The whole page through the capture job, in bands of the given height.
    CaptureOptions capture;
    capture.areaFor = [height](const DocumentMetrics &) { return QSize(Width, height); };
    if (bandHeight > 0)
        capture.bandHeight = bandHeight;
    CaptureJob job(*page, capture);
    QElapsedTimer timer;
    timer.start();
    const Result<QImage> captured = test::runToEnd(job);
    const qint64 elapsed = timer.elapsed();
    if (!captured) {
        std::fprintf(stderr, "paint failed: %s\n", qPrintable(captured.error()));
        return 1;
    }
    QString verdict = QStringLiteral("unchecked");
    if (kind == QLatin1String("stripes")) {
        const int wrongRow = test::checkStripes(captured.value(), Width, height, 10);
        verdict = wrongRow < 0 ? QStringLiteral("correct")
                               : QStringLiteral("wrong-from-row-%1").arg(wrongRow);
    }
    std::printf("%lld %.0f %s\n", static_cast<long long>(elapsed), test::peakMemoryMiB(),
                qPrintable(verdict));
    return 0;
}

void reportPaints(const QString &label, const QStringList &arguments, int runs)
{
    QList<double> times;
    QList<double> peaks;
    QStringList verdicts;
    for (int run = 0; run < runs; ++run) {
        const QStringList fields = bench::runSelf(arguments);
        if (fields.size() < 3) {
            verdicts << QStringLiteral("failed");
            continue;
        }
        times << fields.at(0).toDouble();
        peaks << fields.at(1).toDouble();
        verdicts << fields.at(2);
    }
    verdicts.removeDuplicates();
    std::printf("%-44s %8.0f ms %8.0f MiB peak  %s  (median of %d)\n", qPrintable(label),
                bench::median(times), bench::median(peaks), qPrintable(verdicts.join(',')),
                int(times.size()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--run")) {
        if (arguments.value(1) == QLatin1String("startup"))
            return runStartup();
        if (arguments.value(1) == QLatin1String("paint"))
            return runPaint(arguments.value(2), arguments.value(3).toInt(),
                            arguments.value(4).toInt());
        return 2;
    }

    QList<double> startups;
    for (int run = 0; run < 5; ++run) {
        const QStringList fields = bench::runSelf({QStringLiteral("startup")});
        if (!fields.isEmpty())
            startups << fields.at(0).toDouble();
    }
    std::printf("%-44s %8.0f ms  (median of %d)\n", "start-up to first page complete",
                bench::median(startups), int(startups.size()));
    std::fflush(stdout);

    reportPaints(QStringLiteral("paint 1280 x 20,000"),
                 {QStringLiteral("paint"), "stripes", "20000"}, 5);
    reportPaints(QStringLiteral("paint 1280 x 100,000"),
                 {QStringLiteral("paint"), "stripes", "100000"}, 1);
    reportPaints(QStringLiteral("paint 1280 x 20,000 of noise"),
                 {QStringLiteral("paint"), "noise", "20000"}, 1);

    std::printf("band height, 1280 x 100,000 stripes, once each:\n");
    for (const int band : {8192, 16384, 32768, 50000})
        reportPaints(QStringLiteral("  bands of at most %1 px").arg(band),
                     {QStringLiteral("paint"), "stripes", "100000", QString::number(band)}, 1);
    std::printf("band height, 1280 x 50,000 text, once each:\n");
    for (const int band : {8192, 16384, 32768, 50000})
        reportPaints(QStringLiteral("  bands of at most %1 px").arg(band),
                     {QStringLiteral("paint"), "text", "50000", QString::number(band)}, 1);
    return 0;
}
