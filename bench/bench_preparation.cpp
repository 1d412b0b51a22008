// What preparing a page for its capture costs (see CapturePreparation): the
// capture job on the real headless Chromium, from its start to its picture,
// with each preparation step alone and together, against no preparation, on
// a striped page 20,000 px tall (also with one element on a compositor
// layer of its own) and on a long article-like page (a sticky
// bar, text in a web font, pictures, some loaded when they come into view,
// two embedded frames of another site). And what painting frames of other
// sites costs: the striped page with four such frames, with and without
// painting them, against the same page with frames of its own site. Each figure is the median of 5;
// the ways alternate, each on a fresh page of one browser.
//
//   bench_preparation
#include "fakes/runjob.h"
#include "platform/cdp/chromiumbrowser.h"
#include "snapshot/capturejob.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/selfrun.h"
#include "support/stripedpage.h"

#include <QBuffer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QScopeGuard>

#include <cstdio>
#include <optional>
#include <tuple>

using namespace snapvel;

namespace {

constexpr int kRuns = 5;
constexpr int kStripedHeight = 20000;
constexpr int kDocumentWidth = 1260;

struct Way
{
    const char *name;
    std::optional<CapturePreparation> preparation;
};

QList<Way> ways()
{
    CapturePreparation nothing;
    nothing.revealContent = false;
    nothing.fontsTimeout = std::chrono::milliseconds(0);
    nothing.paintFrames = false;
    CapturePreparation reveal = nothing;
    reveal.revealContent = true;
    CapturePreparation fonts = nothing;
    fonts.fontsTimeout = CapturePreparation{}.fontsTimeout;
    CapturePreparation expand = nothing;
    expand.expandScroller = true;
    CapturePreparation frames = nothing;
    frames.paintFrames = true;
    CapturePreparation all;
    all.expandScroller = true;
    return {{"none", std::nullopt},
            {"reveal", reveal},
            {"fonts", fonts},
            {"expand", expand},
            {"frames", frames},
            {"window (reveal+fonts+frames)", CapturePreparation{}},
            {"all (window+expand)", all}};
}

QByteArray picturePng(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, width, height);
    gradient.setColorAt(0, QColor(30, 90, 160));
    gradient.setColorAt(1, QColor(220, 180, 60));
    painter.fillRect(image.rect(), gradient);
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QByteArray frames(const QString &source, const QList<int> &tops)
{
    QByteArray html;
    for (const int top : tops)
        html += "<iframe src='" + source.toUtf8() +
                "' style='position:absolute;left:200px;width:600px;height:340px;border:0;top:" +
                QByteArray::number(top) + "px'></iframe>";
    return html;
}

// A striped page with frames laid over it.
QByteArray stripedWithFrames(const QByteArray &framesHtml)
{
    QByteArray html = test::stripedPageHtml(kDocumentWidth, kStripedHeight);
    html.replace("<body>", "<body style='position:relative'>" + framesHtml);
    return html;
}

// A striped page with an element of its own compositor layer beside the
// stripes (as `will-change: transform`, a canvas or a video make one).
QByteArray stripedWithLayer()
{
    QByteArray html = test::stripedPageHtml(kDocumentWidth, kStripedHeight);
    html.replace("<body>", "<body style='position:relative'><div style='position:absolute;left:" +
                               QByteArray::number(kDocumentWidth) +
                               "px;top:5000px;width:20px;height:20px;background:#000;"
                               "will-change:transform'></div>");
    return html;
}

// A long page that looks like an article: a sticky bar, sections of text
// with headings in a web font, a picture in each section (every third one
// loaded when it comes into view), and two embedded frames of another site.
QByteArray articlePage(const QString &embed)
{
    const QByteArray words =
        "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
        "incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud "
        "exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat. Duis aute irure "
        "dolor in reprehenderit in voluptate velit esse cillum dolore eu fugiat nulla pariatur. ";
    QByteArray html = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><style>
@font-face { font-family: Heading; src: url(/heading.ttf); font-display: swap; }
body { margin: 0; font: 18px/1.6 serif; color: #222; background: #fafafa; }
nav { position: sticky; top: 0; height: 56px; background: #123; color: #fff; padding: 0 24px;
      display: flex; align-items: center; gap: 24px; z-index: 2; }
main { max-width: 820px; margin: 0 auto; padding: 24px; }
h2 { font-family: Heading, sans-serif; font-size: 30px; margin: 48px 0 12px; }
img { display: block; width: 100%; height: 360px; background: #ddd; margin: 16px 0; }
iframe { display: block; width: 100%; height: 400px; border: 0; margin: 16px 0; }
footer { height: 300px; background: #222; }
</style></head><body><nav><b>The Daily Example</b><span>News</span><span>Sport</span>
<span>Culture</span></nav><main><h1>A long article</h1>)";
    for (int section = 0; section < 45; ++section) {
        html += "<section><h2>Section " + QByteArray::number(section + 1) + "</h2>";
        for (int paragraph = 0; paragraph < 3; ++paragraph)
            html += "<p>" + words + words + "</p>";
        if (section % 3 == 2)
            html += "<img class='lazy' alt='' data-src='/picture.png?" +
                    QByteArray::number(section) + "'>";
        else
            html += "<img alt='' src='/picture.png?" + QByteArray::number(section) + "'>";
        if (section == 10 || section == 30)
            html += "<iframe src='" + embed.toUtf8() + "'></iframe>";
        html += "</section>";
    }
    html += R"(</main><footer></footer><script>
const observer = new IntersectionObserver((entries) => entries.forEach((entry) => {
    if (entry.isIntersecting) {
        entry.target.src = entry.target.dataset.src;
        observer.unobserve(entry.target);
    }
}), {rootMargin: '200px'});
document.querySelectorAll('img.lazy').forEach((image) => observer.observe(image));
</script></body></html>)";
    return html;
}

struct Capture
{
    qint64 total = -1;
    qint64 prepare = -1;
    QSize size;
    QImage image;
};

Capture capture(ChromiumBrowser &browser, const QString &address,
                const std::optional<CapturePreparation> &preparation)
{
    Page *page = browser.openPage();
    const auto cleanup = qScopeGuard([page] { page->deleteLater(); });
    if (!page->setLayoutViewport({1280, 800}).ok() || !test::loadAndWait(*page, address))
        return {};
    CaptureOptions options;
    options.preparation = preparation;
    CaptureJob job(*page, options);
    const Result<QImage> image = test::runToEnd(job);
    if (!image) {
        std::fprintf(stderr, "capture of %s failed: %s\n", qPrintable(address),
                     qPrintable(image.error()));
        return {};
    }
    Capture result;
    result.image = image.value();
    result.total = job.timings().total;
    result.prepare = job.timings().prepare;
    result.size = result.image.size();
    return result;
}

void report(const char *page, const char *way, const QList<double> &totals,
            const QList<double> &prepares, QSize size, const QString &verdict)
{
    std::printf("%-28s %-30s total %6.0f ms  prepare %5.0f ms  %5d x %-6d %s  (median of %d)\n",
                page, way, bench::median(totals), bench::median(prepares), size.width(),
                size.height(), qPrintable(verdict), kRuns);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QImageReader::setAllocationLimit(1024);

    test::PageServer server;
    QUrl otherSite = server.url(QStringLiteral("/embed.html"));
    otherSite.setHost(QStringLiteral("localhost"));
    server.addPage(QStringLiteral("/embed.html"),
                   "<!DOCTYPE html><body style='margin:0;background:#c33;color:#fff;"
                   "font:24px sans-serif'><p>An embedded player</p></body>");
    server.addPage(QStringLiteral("/picture.png"), picturePng(820, 360), "image/png");
    QFile font(QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"));
    server.addPage(QStringLiteral("/heading.ttf"),
                   font.open(QIODevice::ReadOnly) ? font.readAll() : QByteArray(), "font/ttf");
    server.addPage(QStringLiteral("/striped.html"),
                   test::stripedPageHtml(kDocumentWidth, kStripedHeight));
    server.addPage(QStringLiteral("/striped-layer.html"), stripedWithLayer());
    server.addPage(QStringLiteral("/article.html"), articlePage(otherSite.toString()));
    const QList<int> frameTops{3000, 8000, 13000, 18000};
    server.addPage(QStringLiteral("/striped-other-frames.html"),
                   stripedWithFrames(frames(otherSite.toString(), frameTops)));
    server.addPage(QStringLiteral("/striped-own-frames.html"),
                   stripedWithFrames(frames(QStringLiteral("/embed.html"), frameTops)));

    ChromiumBrowser browser;
    if (!browser.startStatus()) {
        std::fprintf(stderr, "%s\n", qPrintable(browser.startStatus().error()));
        return 1;
    }

    const QList<Way> all = ways();
    const QList<QPair<const char *, QString>> pages{
        {"striped 1260 x 20000", QStringLiteral("/striped.html")},
        {"striped, a layer of its own", QStringLiteral("/striped-layer.html")},
        {"article", QStringLiteral("/article.html")}};
    for (const auto &page : pages) {
        QHash<int, QList<double>> totals, prepares;
        QHash<int, QStringList> verdicts;
        QHash<int, QSize> sizes;
        for (int run = 0; run < kRuns; ++run) {
            for (int way = 0; way < all.size(); ++way) {
                const Capture taken =
                    capture(browser, server.url(page.second).toString(), all.at(way).preparation);
                totals[way] << double(taken.total);
                prepares[way] << double(taken.prepare);
                sizes[way] = taken.size;
                QString verdict =
                    taken.image.isNull() ? QStringLiteral("failed") : QStringLiteral("ok");
                if (page.second.startsWith(QLatin1String("/striped")) && !taken.image.isNull() &&
                    test::checkStripes(taken.image.copy(0, 0, kDocumentWidth, kStripedHeight),
                                       kDocumentWidth, kStripedHeight) >= 0)
                    verdict = QStringLiteral("WRONG");
                verdicts[way] << verdict;
            }
        }
        for (int way = 0; way < all.size(); ++way) {
            verdicts[way].removeDuplicates();
            report(page.first, all.at(way).name, totals[way], prepares[way], sizes[way],
                   verdicts[way].join(QLatin1Char(',')));
        }
    }

    // Frames of another site outside the first screen are each painted on
    // their own while in view; frames of the page's own site need nothing.
    CapturePreparation withoutFrames;
    withoutFrames.paintFrames = false;
    const QList<std::tuple<const char *, const char *, QString, CapturePreparation>> framed{
        {"striped, own-site frames", "window", QStringLiteral("/striped-own-frames.html"),
         CapturePreparation{}},
        {"striped, other-site frames", "window without frames",
         QStringLiteral("/striped-other-frames.html"), withoutFrames},
        {"striped, other-site frames", "window", QStringLiteral("/striped-other-frames.html"),
         CapturePreparation{}}};
    QHash<int, QList<double>> totals, prepares;
    QHash<int, QSize> sizes;
    QHash<int, QStringList> verdicts;
    for (int run = 0; run < kRuns; ++run) {
        for (int page = 0; page < framed.size(); ++page) {
            const auto &[name, way, path, preparation] = framed.at(page);
            const Capture taken = capture(browser, server.url(path).toString(), preparation);
            totals[page] << double(taken.total);
            prepares[page] << double(taken.prepare);
            sizes[page] = taken.size;
            bool painted = !taken.image.isNull();
            for (const int top : frameTops)
                painted =
                    painted && QColor(taken.image.pixel(500, top + 170)) == QColor(204, 51, 51);
            verdicts[page] << (painted ? QStringLiteral("frames painted")
                                       : QStringLiteral("frames missing"));
        }
    }
    for (int page = 0; page < framed.size(); ++page) {
        verdicts[page].removeDuplicates();
        report(std::get<0>(framed.at(page)), std::get<1>(framed.at(page)), totals[page],
               prepares[page], sizes[page], verdicts[page].join(QLatin1Char(',')));
    }
    return 0;
}
