// What a person scrolling through a page would see is in its capture: frames
// of other sites and of file:// pages far down the page, content loaded,
// drawn or shown by the page's script only when it comes into view, the
// whole of a page that scrolls in an inner box, and text in a web font that
// arrives late; also inside web components. The capture job drives the real
// headless Chromium (one for all cases) over pages served on 127.0.0.1, and
// on localhost for another site on the same server; each case is checked
// from the picture alone.
#include "fakes/runjob.h"
#include "platform/cdp/chromiumbrowser.h"
#include "snapshot/capturejob.h"
#include "support/pageload.h"
#include "support/pageserver.h"
#include "support/stripedpage.h"

#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace snapvel;
using namespace snapvel::test;

namespace {

constexpr int kViewportWidth = 1280;
constexpr int kViewportHeight = 800;

const QColor kPage(20, 110, 200);
const QColor kHero(230, 30, 30);
const QColor kFrame(240, 200, 20);
const QColor kPicture(200, 30, 160);

QByteArray rgb(const QColor &colour)
{
    return "rgb(" + QByteArray::number(colour.red()) + "," + QByteArray::number(colour.green()) +
           "," + QByteArray::number(colour.blue()) + ")";
}

// A page `height` px tall of kPage's colour that starts with a screen-high
// kHero block, with `content` placed on it (absolutely, by the caller).
QByteArray tallPage(int height, const QByteArray &content)
{
    return "<!DOCTYPE html><html><head><meta charset='utf-8'></head>"
           "<body style='margin:0;position:relative;height:" +
           QByteArray::number(height) + "px;background:" + rgb(kPage) +
           "'><div style='height:100vh;background:" + rgb(kHero) + "'></div>" + content +
           "</body></html>";
}

QByteArray placedAt(int top, const QByteArray &element, int height = 300)
{
    return "<div style='position:absolute;left:100px;top:" + QByteArray::number(top) +
           "px;width:400px;height:" + QByteArray::number(height) + "px'>" + element + "</div>";
}

QByteArray frameOf(const QByteArray &source, const QByteArray &attributes = {}, int height = 300)
{
    return "<iframe " + attributes + " src='" + source +
           "' style='display:block;border:0;width:400px;height:" + QByteArray::number(height) +
           "px'></iframe>";
}

// `content` as the inside of a web component (an open shadow root).
QByteArray inShadowRoot(const QByteArray &content)
{
    return "<div><template shadowrootmode='open'>" + content + "</template></div>";
}

QByteArray solidPage(const QColor &colour)
{
    return "<!DOCTYPE html><html><body style='margin:0;background:" + rgb(colour) +
           "'></body></html>";
}

// A PNG picture of one colour.
QByteArray solidPng(QSize size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

QColor colourAt(const QImage &image, int x, int y)
{
    return QColor(image.pixel(x, y));
}

// The width of the ink (dark pixels) in a row band of a picture.
int inkWidth(const QImage &image, int top, int bottom)
{
    int left = image.width(), right = -1;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 100) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return right < 0 ? 0 : right - left + 1;
}

// A monospaced font file to serve as a web font: its "i" is several times
// as wide as a proportional serif font's.
QString monospacedFontFile()
{
    const QStringList candidates{
        QStringLiteral("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"),
        QStringLiteral("/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf"),
        QStringLiteral("/usr/share/fonts/truetype/noto/NotoMono-Regular.ttf")};
    for (const QString &path : candidates)
        if (QFile::exists(path))
            return path;
    return {};
}

} // namespace

class FidelityE2E : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void framesOfOtherOriginsFarDownArePainted_data();
    void framesOfOtherOriginsFarDownArePainted();
    void framePicturesNeverLandOutOfPlace();
    void contentLoadedWhenSeenIsPainted();
    void contentShownWhenScrolledToIsPainted();
    void contentDrawnOnlyNearTheViewportIsPainted_data();
    void contentDrawnOnlyNearTheViewportIsPainted();
    void pageScrollingInAnInnerBoxIsCapturedWhole();
    void lateWebFontIsPainted();

private:
    // Loads an address in a fresh page laid out in the viewport, and
    // captures it with `options` (painting exactly the document's size).
    Result<QImage> capture(const QString &address, CaptureOptions options = {});
    QString onOtherSite(const QString &path) const;

    std::unique_ptr<PageServer> m_server;
    std::unique_ptr<ChromiumBrowser> m_browser;
    QTemporaryDir m_files;
};

void FidelityE2E::initTestCase()
{
    QImageReader::setAllocationLimit(1024);
    m_server = std::make_unique<PageServer>();
    m_server->addPage(QStringLiteral("/frame.html"), solidPage(kFrame));
    m_browser = std::make_unique<ChromiumBrowser>();
    QVERIFY2(m_browser->startStatus(), qPrintable(m_browser->startStatus().error()));
    QVERIFY(m_files.isValid());
}

void FidelityE2E::cleanupTestCase()
{
    m_browser.reset();
    m_server.reset();
}

QString FidelityE2E::onOtherSite(const QString &path) const
{
    QUrl url = m_server->url(path);
    url.setHost(QStringLiteral("localhost"));
    return url.toString();
}

Result<QImage> FidelityE2E::capture(const QString &address, CaptureOptions options)
{
    std::unique_ptr<Page, void (*)(Page *)> page(m_browser->openPage(),
                                                 [](Page *p) { p->deleteLater(); });
    if (Status laidOut = page->setLayoutViewport({kViewportWidth, kViewportHeight}); !laidOut)
        return laidOut.failure();
    if (!loadAndWait(*page, address))
        return Failure{QStringLiteral("%1 did not load").arg(address)};
    if (!options.areaFor)
        options.areaFor = [](const DocumentMetrics &m) {
            return QSize(int(m.scrollWidth), int(m.scrollHeight));
        };
    CaptureJob job(*page, std::move(options));
    return test::runToEnd(job);
}

void FidelityE2E::framesOfOtherOriginsFarDownArePainted_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QList<int>>("frameTops");
    QTest::addColumn<int>("frameHeight");
    QTest::addColumn<int>("pageHeight");
    QTest::addColumn<int>("bandHeight");
    QTest::addColumn<bool>("fixedBar");

    // Chromium stops rendering such frames while they are outside the
    // viewport: painted beyond it, they showed the page's background.
    const int height = 4000;
    m_server->addPage(
        QStringLiteral("/other-site.html"),
        tallPage(height, placedAt(3500, frameOf(onOtherSite("/frame.html").toUtf8()))));
    QTest::newRow("another site") << m_server->url("/other-site.html").toString()
                                  << QList<int>{3500} << 300 << height << 32768 << false;

    // In several bands, each painted on its own; the page asks for smooth
    // scrolling, which would keep each frame out of view when it is shown.
    const QList<int> tops{1500, 5500, 9500};
    QByteArray frames;
    for (const int top : tops)
        frames += placedAt(top, frameOf(onOtherSite("/frame.html").toUtf8()));
    m_server->addPage(
        QStringLiteral("/other-site-bands.html"),
        tallPage(10000, frames).replace("<html>", "<html style='scroll-behavior:smooth'>"));
    QTest::newRow("another site, three bands, smooth scrolling")
        << m_server->url("/other-site-bands.html").toString() << tops << 300 << 10000 << 4000
        << false;

    // Inside a web component, which a look through the document alone
    // does not enter.
    m_server->addPage(
        QStringLiteral("/other-site-component.html"),
        tallPage(height,
                 placedAt(3500, inShadowRoot(frameOf(onOtherSite("/frame.html").toUtf8())))));
    QTest::newRow("another site, inside a web component")
        << m_server->url("/other-site-component.html").toString() << QList<int>{3500} << 300
        << height << 32768 << false;

    // A sandboxed frame has an origin of its own, whatever its address.
    m_server->addPage(QStringLiteral("/sandboxed.html"),
                      tallPage(height, placedAt(3500, frameOf("/frame.html", "sandbox"))));
    QTest::newRow("sandboxed") << m_server->url("/sandboxed.html").toString() << QList<int>{3500}
                               << 300 << height << 32768 << false;

    // Every file:// document has an origin of its own.
    QFile frame(m_files.filePath(QStringLiteral("frame.html")));
    QFile page(m_files.filePath(QStringLiteral("page.html")));
    QVERIFY(frame.open(QIODevice::WriteOnly) && frame.write(solidPage(kFrame)) > 0);
    QVERIFY(page.open(QIODevice::WriteOnly) &&
            page.write(tallPage(height, placedAt(3500, frameOf("frame.html")))) > 0);
    frame.close();
    page.close();
    QTest::newRow("file page") << page.fileName() << QList<int>{3500} << 300 << height << 32768
                               << false;

    // Page and frame redraw themselves all the time, and a fixed bar would
    // cover the top of the frame when it is in view.
    m_server->addPage(QStringLiteral("/animated-frame.html"),
                      "<!DOCTYPE html><html><body style='margin:0;background:" + rgb(kFrame) +
                          "'><script>(function tick() { document.body.dataset.t = "
                          "performance.now(); requestAnimationFrame(tick); })()</script>"
                          "</body></html>");
    const QByteArray bar = "<div style='position:fixed;top:0;left:0;right:0;height:60px;"
                           "background:" +
                           rgb(kPicture) + "'></div>";
    const QByteArray ticking =
        "<div id='tick' style='position:absolute;top:900px;width:10px;height:10px'></div>"
        "<script>(function tick() { document.getElementById('tick').style.left = "
        "(performance.now() % 50) + 'px'; requestAnimationFrame(tick); })()</script>";
    m_server->addPage(
        QStringLiteral("/animated.html"),
        tallPage(height,
                 bar + ticking +
                     placedAt(3000, frameOf(onOtherSite("/animated-frame.html").toUtf8(), {}, 740),
                              740)));
    QTest::newRow("another site, animated, under a fixed bar")
        << m_server->url("/animated.html").toString() << QList<int>{3000} << 740 << height << 32768
        << true;
}

void FidelityE2E::framesOfOtherOriginsFarDownArePainted()
{
    QFETCH(QString, address);
    QFETCH(QList<int>, frameTops);
    QFETCH(int, frameHeight);
    QFETCH(int, pageHeight);
    QFETCH(int, bandHeight);
    QFETCH(bool, fixedBar);

    CaptureOptions options;
    options.bandHeight = bandHeight;
    // The command's cap rather than the window's: under a sanitizer on a
    // loaded machine, three frames can take longer than the window waits.
    options.preparation->framesTimeout = std::chrono::seconds(10);
    const Result<QImage> image = capture(address, options);
    QVERIFY2(image, qPrintable(image.error()));
    QCOMPARE(image->size(), QSize(kViewportWidth, pageHeight));
    for (const int top : frameTops) {
        QCOMPARE(colourAt(image.value(), 300, top + frameHeight / 2), kFrame);
        QCOMPARE(colourAt(image.value(), 100, top + 1), kFrame);
        QCOMPARE(colourAt(image.value(), 499, top + frameHeight - 2), kFrame);
        QCOMPARE(colourAt(image.value(), 700, top + frameHeight / 2), kPage);
    }
    // Laid out as it was: the screen-high block kept the viewport's height.
    QCOMPARE(colourAt(image.value(), 700, kViewportHeight - 1), kHero);
    QCOMPARE(colourAt(image.value(), 700, kViewportHeight), kPage);
    QCOMPARE(colourAt(image.value(), 700, pageHeight - 1), kPage);
    // A fixed bar is where it was, and only there.
    QCOMPARE(colourAt(image.value(), 700, 30), fixedBar ? kPicture : kHero);
}

void FidelityE2E::framePicturesNeverLandOutOfPlace()
{
    // A block above the frame grows when the page is scrolled back to its
    // top after having been scrolled down to the frame, as it is once the
    // frame has been painted in view: the frame moves down, and its
    // picture, painted where it was, must not stay there.
    m_server->addPage(
        QStringLiteral("/moving.html"),
        "<!DOCTYPE html><html><body style='margin:0;background:" + rgb(kPage) +
            "'><div style='height:3000px'></div><div id='grows' style='background:" +
            rgb(kPicture) + "'></div>" + frameOf(onOtherSite("/frame.html").toUtf8()) +
            "<div style='height:700px'></div><script>let down = false;"
            "addEventListener('scroll', () => {"
            " if (scrollY > 2000) down = true;"
            " if (down && scrollY < 100) document.getElementById('grows').style.height = "
            "'500px'; });</script></body></html>");

    const Result<QImage> image = capture(m_server->url("/moving.html").toString());
    QVERIFY2(image, qPrintable(image.error()));
    QCOMPARE(image.value().size(), QSize(kViewportWidth, 3000 + 500 + 300 + 700));
    // Where the frame was, the block that pushed it down.
    QCOMPARE(colourAt(image.value(), 200, 3150), kPicture);
    QCOMPARE(colourAt(image.value(), 200, 3299), kPicture);
    // Where it is, the frame or the page behind it, never anything else.
    const QColor moved = colourAt(image.value(), 200, 3650);
    QVERIFY2(moved == kFrame || moved == kPage, qPrintable(moved.name()));
}

void FidelityE2E::contentLoadedWhenSeenIsPainted()
{
    // Pictures whose address is set by an IntersectionObserver when they
    // come into view, served slowly, fading in as they come; blocks that
    // fade in as they are scrolled into view (a scroll-driven animation);
    // a spinner that turns for ever; a counter that counts up to 400 over
    // 1.5 s once in view, drawing a bar as long as its number. And on a page
    // of its own, a loading screen over the viewport that the page's script
    // fades out, step by step, once it has loaded.
    const QList<int> tops{1500, 6000, 11500};
    const int counterTop = 4500;
    QByteArray pictures;
    for (int i = 0; i < tops.size(); ++i)
        pictures +=
            placedAt(tops.at(i), "<img class='lazy' data-src='/picture.png?" +
                                     QByteArray::number(i) + "' style='width:400px;height:300px'>");
    const QList<int> blockTops{3000, 9000};
    for (const int top : blockTops)
        pictures += placedAt(top, "<div class='block'></div>");
    pictures +=
        placedAt(counterTop, "<div id='bar' style='height:100px;width:0;background:" + rgb(kFrame) +
                                 "'></div><span id='counter'>0</span>");
    pictures += R"(<style>
.lazy { opacity: 0; transition: opacity 1s } .shown { opacity: 1 }
@keyframes turn { to { transform: rotate(1turn) } }
@keyframes appear { from { opacity: 0 } to { opacity: 1 } }
.block { height: 300px; background: )" +
                rgb(kFrame) + R"(; animation: appear linear both;
         animation-timeline: view(); animation-range: entry 0% cover 40% }
</style><div style='width:10px;height:10px;animation:turn 1s linear infinite'></div><script>
const observer = new IntersectionObserver((entries) => entries.forEach((entry) => {
    if (entry.isIntersecting) {
        entry.target.src = entry.target.dataset.src;
        entry.target.classList.add('shown');
        observer.unobserve(entry.target);
    }
}));
document.querySelectorAll('.lazy').forEach((image) => observer.observe(image));
new IntersectionObserver((entries, seen) => {
    if (!entries.some((entry) => entry.isIntersecting))
        return;
    seen.disconnect();
    const start = performance.now();
    const step = () => {
        const count = Math.round(400 * Math.min(1, (performance.now() - start) / 1500));
        counter.textContent = count.toLocaleString('en');
        bar.style.width = count + 'px';
        if (count < 400)
            requestAnimationFrame(step);
    };
    step();
}).observe(counter);
</script>)";
    const int height = 12000;
    m_server->addPage(QStringLiteral("/lazy.html"), tallPage(height, pictures));
    m_server->addPage(QStringLiteral("/loading.html"), tallPage(2000, R"(
<div id='loading' style='position:fixed;inset:0;background:#fff;z-index:9'>Loading</div><script>
addEventListener('load', () => setTimeout(() => {
    const start = performance.now();
    const step = () => {
        const done = (performance.now() - start) / 600;
        loading.style.opacity = Math.max(0, 1 - done);
        if (done < 1)
            setTimeout(step, 15);
        else
            loading.remove();
    };
    step();
}, 300));
</script>)"));
    m_server->addDelayed(QStringLiteral("/picture.png"), solidPng({400, 300}, kPicture),
                         "image/png", 300);

    // On a loaded machine the page's clock, and so its fades, may run at a
    // fraction of real time: the wait for them is not what is checked.
    CaptureOptions patient;
    patient.preparation->animationsTimeout = std::chrono::seconds(10);
    const Result<QImage> image = capture(m_server->url("/lazy.html").toString(), patient);
    QVERIFY2(image, qPrintable(image.error()));
    QCOMPARE(image->size(), QSize(kViewportWidth, height));
    for (const int top : tops) {
        // Faded in: the compositor's last step of a fade may lag the page's
        // by a frame (a level or two of a channel), never more.
        const QColor shown = colourAt(image.value(), 300, top + 150);
        QVERIFY2(std::abs(shown.red() - kPicture.red()) <= 3 &&
                     std::abs(shown.green() - kPicture.green()) <= 3 &&
                     std::abs(shown.blue() - kPicture.blue()) <= 3,
                 qPrintable(QStringLiteral("%1 at %2").arg(shown.name()).arg(top)));
        QCOMPARE(colourAt(image.value(), 700, top + 150), kPage);
    }
    for (const int top : blockTops)
        QCOMPARE(colourAt(image.value(), 300, top + 150), kFrame);
    QCOMPARE(colourAt(image.value(), 100 + 395, counterTop + 50), kFrame);
    QCOMPARE(colourAt(image.value(), 700, kViewportHeight - 1), kHero);
    QCOMPARE(colourAt(image.value(), 700, kViewportHeight), kPage);

    // The loading screen is gone.
    const Result<QImage> loaded = capture(m_server->url("/loading.html").toString(), patient);
    QVERIFY2(loaded, qPrintable(loaded.error()));
    QCOMPARE(colourAt(loaded.value(), 640, kViewportHeight / 2), kHero);

    // Without bringing the page into view, the pictures below the first
    // screen stay empty: the page above does show the fault.
    CaptureOptions asItIs;
    asItIs.preparation->revealContent = false;
    const Result<QImage> unprepared = capture(m_server->url("/lazy.html").toString(), asItIs);
    QVERIFY2(unprepared, qPrintable(unprepared.error()));
    QCOMPARE(colourAt(unprepared.value(), 300, tops.at(1) + 150), kPage);
}

void FidelityE2E::contentShownWhenScrolledToIsPainted()
{
    // Blocks that the page's script shows once the viewport's foot has
    // passed them, on its scroll events at most every 100 ms (and never
    // while the page is scaled to fit the viewport); the first and last for
    // good, the others only while the page is scrolled down to them; a
    // corner mark that changes colour while the page is scrolled away from
    // its top; beside them, blocks that a timer shows when it finds them
    // in the viewport, every 50 ms, each in one screen only; and blocks
    // that the page's script fades in by itself, a step a rendering, over
    // 0.8 s once passed, the second faded out again when the viewport's
    // foot is back above it; and blocks shown (slid into place) by a class
    // on their parent, which the page's scroll events or an
    // IntersectionObserver set only while the parent is passed or in view.
    const QList<std::pair<int, QByteArray>> blocks{
        {2000, "<div class='block'></div>"},
        {3500, "<div class='block again'></div>"},
        {4150, "<div class='parent'><div class='child'></div></div>"},
        {4550, "<div class='observed'><div class='child'></div></div>"},
        {5000, "<div class='block again'></div>"},
        {6000, "<div class='tweened' style='opacity:0'></div>"},
        {6800, "<div class='tweened again' style='opacity:0'></div>"},
        {7500, "<div class='block'></div>"}};
    QList<int> tops;
    QByteArray content;
    for (const auto &[top, block] : blocks) {
        tops.append(top);
        content += placedAt(top, block);
    }
    QList<int> polledTops;
    for (int top = kViewportHeight + 250; top + 300 < 8000; top += kViewportHeight) {
        polledTops.append(top);
        content += placedAt(top, "<div class='polled'></div>");
    }
    content += "<div id='mark'></div><style>#mark { position: fixed; top: 0; right: 0; width: "
               "50px; height: 50px; background: " +
               rgb(kPicture) +
               " } #mark.away { background: #000 } .block, .polled, .tweened { height: 300px; "
               "background: " +
               rgb(kFrame) + R"(; visibility: hidden } .polled { margin-left: 600px; width: 400px }
.block.seen, .polled.seen, .tweened { visibility: visible }
.child { height: 300px; background: )" +
               rgb(kFrame) + R"(; visibility: hidden; transform: translateX(-400px);
         transition: transform 0.3s }
.seen > .child { visibility: visible; transform: none }</style>
<script>
new IntersectionObserver((entries) => entries.forEach(
    (entry) => entry.target.classList.toggle('seen', entry.isIntersecting)))
    .observe(document.querySelector('.observed'));
setInterval(() => {
    for (const block of document.querySelectorAll('.polled')) {
        const box = block.getBoundingClientRect();
        if (box.height === 300 && box.top < innerHeight && box.bottom > 0)
            block.classList.add('seen');
    }
}, 50);
let last = 0, later = 0;
const update = () => {
    last = Date.now();
    document.getElementById('mark').classList.toggle('away', scrollY > 0);
    for (const block of document.querySelectorAll('.block')) {
        const box = block.getBoundingClientRect();
        const passed = box.top < innerHeight;
        if (box.height === 300 && (passed || block.classList.contains('again')))
            block.classList.toggle('seen', passed);
    }
    const parent = document.querySelector('.parent'), box = parent.getBoundingClientRect();
    if (box.height === 300)
        parent.classList.toggle('seen', box.top < innerHeight);
};
const fade = (block, to) => {
    if (block.to === to)
        return;
    const from = Number(block.style.opacity), start = performance.now(), run = block.to = to;
    const step = () => {
        const done = Math.min(1, (performance.now() - start) / 800);
        if (block.to !== run)
            return;
        block.style.opacity = from + (to - from) * done;
        if (done < 1)
            requestAnimationFrame(step);
    };
    requestAnimationFrame(step);
};
addEventListener('scroll', () => {
    for (const block of document.querySelectorAll('.tweened')) {
        const box = block.getBoundingClientRect();
        if (box.height === 300 && (box.top < innerHeight || block.classList.contains('again')))
            fade(block, box.top < innerHeight ? 1 : 0);
    }
    clearTimeout(later);
    if (Date.now() - last >= 100)
        update();
    else
        later = setTimeout(update, 100);
});
</script>)";
    const int height = 8000;
    m_server->addPage(QStringLiteral("/scrolled.html"), tallPage(height, content));

    // Also out of time after the first screen: the page is still taken to
    // its foot, where the blocks shown once passed are all shown.
    CaptureOptions hurried;
    hurried.preparation->scrollThroughTimeout = std::chrono::milliseconds(1);
    for (const bool inTime : {true, false}) {
        const Result<QImage> image = capture(m_server->url("/scrolled.html").toString(),
                                             inTime ? CaptureOptions{} : hurried);
        QVERIFY2(image, qPrintable(image.error()));
        QCOMPARE(image->size(), QSize(kViewportWidth, height));
        for (const int top : tops)
            QVERIFY2(colourAt(image.value(), 300, top + 150) == kFrame,
                     qPrintable(QStringLiteral("the block at %1 is missing").arg(top)));
        if (!inTime)
            continue;
        for (const int top : polledTops)
            QVERIFY2(colourAt(image.value(), 900, top + 150) == kFrame,
                     qPrintable(QStringLiteral("the polled block at %1 is missing").arg(top)));
        // Scrolled back: the page shows what it shows at its top.
        QCOMPARE(colourAt(image.value(), kViewportWidth - 25, 25), kPicture);
    }

    CaptureOptions unscrolled;
    unscrolled.preparation->scrollThroughTimeout = std::chrono::milliseconds(0);
    const Result<QImage> asItIs = capture(m_server->url("/scrolled.html").toString(), unscrolled);
    QVERIFY2(asItIs, qPrintable(asItIs.error()));
    QCOMPARE(colourAt(asItIs.value(), 300, tops.at(1) + 150), kPage);

    // A page that hides nothing is not scrolled, though it listens: the
    // mark would stay black once it had been.
    m_server->addPage(
        QStringLiteral("/listening.html"),
        tallPage(height, content)
            .replace("visibility: hidden", "")
            .replace("style='opacity:0'", "")
            .replace("classList.toggle('away', scrollY > 0)",
                     "classList.toggle('away', scrollY > 0 || mark.matches('.away'))"));
    const Result<QImage> listening = capture(m_server->url("/listening.html").toString());
    QVERIFY2(listening, qPrintable(listening.error()));
    QCOMPARE(colourAt(listening.value(), kViewportWidth - 25, 25), kPicture);
}

void FidelityE2E::contentDrawnOnlyNearTheViewportIsPainted_data()
{
    QTest::addColumn<bool>("inComponent");
    QTest::newRow("in the document") << false;
    QTest::newRow("inside a web component") << true;
}

void FidelityE2E::contentDrawnOnlyNearTheViewportIsPainted()
{
    QFETCH(bool, inComponent);
    // Sections Chromium skips while they are far from the viewport
    // (content-visibility: auto), each taller than the size it stands in
    // for meanwhile, over two bands; one the page hides for good, one
    // within another.
    const int sections = 40, sectionHeight = 1000, hidden = 25, nested = 30;
    const QByteArray skippable = "<section style='content-visibility:auto;"
                                 "contain-intrinsic-size:auto 500px'>";
    QByteArray content;
    for (int i = 0; i < sections; ++i) {
        QByteArray section = "<div style='height:" + QByteArray::number(sectionHeight) +
                             "px;background:" + rgb(QColor(stripeColour(i))) + "'></div>";
        if (i == nested)
            section = skippable + section + "</section>";
        content += (i == hidden ? QByteArray(skippable).replace("auto;", "hidden;") : skippable) +
                   section + "</section>";
    }
    // Far down: a background fixed to the viewport, large pictures decoded
    // apart from painting, and a bar that sticks to the viewport's foot
    // until the page's end reaches it.
    const int below = (sections - 1) * sectionHeight + 500;
    content += "<div style='height:600px;background:linear-gradient(" + rgb(kFrame) + "," +
               rgb(kFrame) + ") fixed'></div>";
    const int pictures = 8; // more than Chromium keeps decoded for painting
    for (int i = 0; i < pictures; ++i)
        content += "<img decoding='async' src='/large.png?" + QByteArray::number(i) +
                   "' style='display:block;width:1000px;height:1000px;margin-top:2000px'>";
    content +=
        "<div style='position:sticky;bottom:0;height:50px;background:" + rgb(kHero) + "'></div>";
    if (inComponent)
        content = inShadowRoot(content);
    const QString path = inComponent ? QStringLiteral("/drawn-near-component.html")
                                     : QStringLiteral("/drawn-near.html");
    m_server->addPage(path, "<!DOCTYPE html><html><body style='margin:0;background:" + rgb(kPage) +
                                "'>" + content + "</body></html>");
    m_server->addPage(QStringLiteral("/large.png"), solidPng({2000, 2000}, kPicture), "image/png");

    const Result<QImage> image = capture(m_server->url(path).toString());
    QVERIFY2(image, qPrintable(image.error()));
    QCOMPARE(image->size(), QSize(kViewportWidth, below + 600 + pictures * 3000 + 50));
    for (int i = 0; i < sections; ++i) {
        const int top = i <= hidden ? i * sectionHeight : i * sectionHeight - 500;
        const QColor expected = i == hidden ? kPage : QColor(stripeColour(i));
        QCOMPARE(colourAt(image.value(), 640, top + 250).rgb() & 0xffffff,
                 expected.rgb() & 0xffffff);
    }
    QCOMPARE(colourAt(image.value(), 640, below + 300), kFrame);
    for (int i = 0; i < pictures; ++i)
        QCOMPARE(colourAt(image.value(), 500, below + 600 + i * 3000 + 2500), kPicture);
    QCOMPARE(colourAt(image.value(), 640, image->height() - 25), kHero);
    QCOMPARE(colourAt(image.value(), 640, kViewportHeight - 25).rgb() & 0xffffff,
             stripeColour(0) & 0xffffff);
}

void FidelityE2E::pageScrollingInAnInnerBoxIsCapturedWhole()
{
    // A header, a box that scrolls and a footer fill the viewport; the
    // document itself does not scroll.
    const int rows = 250, rowHeight = 20;
    QByteArray content;
    for (int row = 0; row < rows; ++row)
        content += "<div style='height:" + QByteArray::number(rowHeight) +
                   "px;background:" + rgb(QColor(stripeColour(row))) + "'></div>";
    const QByteArray layout = "<style>header{height:60px;flex:none;background:" + rgb(kHero) +
                              "}main{flex:1;overflow:auto;min-height:0}"
                              "footer{height:40px;flex:none;background:" +
                              rgb(kFrame) + "}</style>";
    const QByteArray document = "<!DOCTYPE html><html><head><style>"
                                "html,body{height:100%;margin:0;overflow:hidden}"
                                "body{display:flex;flex-direction:column}</style></head><body>";
    m_server->addPage(QStringLiteral("/inner.html"), document + layout + "<header></header><main>" +
                                                         content +
                                                         "</main><footer></footer></body></html>");
    // The same, as an application's web component, the rows put into its
    // scrolling box.
    m_server->addPage(QStringLiteral("/inner-component.html"),
                      document +
                          "<div style='flex:1;min-height:0;display:flex;flex-direction:column'>"
                          "<template shadowrootmode='open'>" +
                          layout +
                          "<header></header><main><slot></slot></main><footer></footer>"
                          "</template>" +
                          content + "</div></body></html>");
    // A list that draws only the rows in its view, as far as its script
    // knows that view (virtual lists): grown, it would show a blank below.
    m_server->addPage(QStringLiteral("/virtual.html"), document + layout +
                                                           R"(<header></header><main id='list'>
<div id='rows' style='position:relative;height:)" + QByteArray::number(rows * rowHeight) +
                                                           R"(px'></div></main><footer></footer>
<script>
const draw = () => {
    const first = Math.floor(list.scrollTop / 20);
    rows.innerHTML = '';
    for (let row = first; row < first + 40 && row < 250; ++row)
        rows.insertAdjacentHTML('beforeend', `<div style='position:absolute;top:${row * 20}px;` +
                                             `height:20px;width:100%;background:#446'></div>`);
};
list.addEventListener('scroll', draw);
draw();
</script></body></html>)");
    // A page that scrolls as usual, with a small box that scrolls too.
    m_server->addPage(QStringLiteral("/ordinary.html"),
                      tallPage(3000, placedAt(1000, "<div style='height:300px;overflow:auto'>" +
                                                        content + "</div>")));

    for (const char *path : {"/inner.html", "/inner-component.html"}) {
        const Result<QImage> whole = capture(m_server->url(path).toString());
        QVERIFY2(whole, qPrintable(whole.error()));
        QCOMPARE(whole->size(), QSize(kViewportWidth, 60 + rows * rowHeight + 40));
        QCOMPARE(colourAt(whole.value(), 640, 30), kHero);
        for (int row = 0; row < rows; ++row)
            QCOMPARE(colourAt(whole.value(), 640, 60 + row * rowHeight + rowHeight / 2).rgb() &
                         0xffffff,
                     stripeColour(row) & 0xffffff);
        QCOMPARE(colourAt(whole.value(), 640, whole->height() - 20), kFrame);
    }

    // Unexpanded, the page is one screen; the virtual list is left so.
    CaptureOptions unexpanded;
    unexpanded.preparation->expandScroller = false;
    const Result<QImage> screen = capture(m_server->url("/inner.html").toString(), unexpanded);
    QVERIFY2(screen, qPrintable(screen.error()));
    QCOMPARE(screen->size(), QSize(kViewportWidth, kViewportHeight));
    const Result<QImage> list = capture(m_server->url("/virtual.html").toString());
    QVERIFY2(list, qPrintable(list.error()));
    QCOMPARE(list->size(), QSize(kViewportWidth, kViewportHeight));
    QCOMPARE(colourAt(list.value(), 640, kViewportHeight - 20), kFrame);

    // A page that does not need it is left as it is.
    const Result<QImage> ordinary = capture(m_server->url("/ordinary.html").toString());
    const Result<QImage> asItIs = capture(m_server->url("/ordinary.html").toString(), unexpanded);
    QVERIFY2(ordinary && asItIs, qPrintable(ordinary.error() + asItIs.error()));
    QCOMPARE(ordinary->size(), QSize(kViewportWidth, 3000));
    QVERIFY(ordinary.value() == asItIs.value());
}

void FidelityE2E::lateWebFontIsPainted()
{
    const QString fontFile = monospacedFontFile();
    if (fontFile.isEmpty())
        QSKIP("No monospaced font file to serve as a web font.");
    QFile font(fontFile);
    QVERIFY(font.open(QIODevice::ReadOnly));
    m_server->addDelayed(QStringLiteral("/late.ttf"), font.readAll(), "font/ttf", 1500);
    // The text comes after the load, so the font is asked for only then.
    m_server->addPage(
        QStringLiteral("/font.html"),
        "<!DOCTYPE html><html><head><style>"
        "@font-face{font-family:Late;src:url(/late.ttf)}"
        "p{font:40px Late,serif;margin:0;position:absolute;top:100px;left:0}"
        "</style></head><body style='margin:0;background:#fff'><p id='text'></p><script>"
        "addEventListener('load', () => setTimeout(() => { text.textContent = 'iiiiiiiiii'; }))"
        "</script></body></html>");

    const Result<QImage> image = capture(m_server->url("/font.html").toString());
    QVERIFY2(image, qPrintable(image.error()));
    // Ten monospaced "i"s take six em (240 px); in a serif font, or hidden
    // while the font is awaited, far less.
    const int width = inkWidth(image.value(), 100, 150);
    QVERIFY2(width > 200, qPrintable(QStringLiteral("the text is %1 px wide").arg(width)));
}

QTEST_MAIN(FidelityE2E)
#include "tst_fidelity_e2e.moc"
