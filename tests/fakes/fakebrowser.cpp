#include "fakes/fakebrowser.h"

#include <QBuffer>
#include <QImageWriter>
#include <QTimer>

#include <cmath>

namespace snapvel::test {

namespace {

QByteArray pngOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setCompression(1);
    writer.write(image);
    return bytes;
}

} // namespace

QRgb FakeBrowser::patternColour(int x, int y)
{
    return qRgb(x % 256, y % 256, (x / 256 + y / 256) % 256);
}

Page *FakeBrowser::openPage()
{
    auto *page = new FakePage(*this);
    m_pages << page;
    ++pagesOpened;
    return page;
}

void FakeBrowser::stop(const Failure &why)
{
    for (const QPointer<FakePage> &page : std::as_const(m_pages))
        if (page)
            page->lose(why);
    emit stopped(why);
}

FakePage::FakePage(FakeBrowser &browser) : Page(&browser), m_browser(browser) {}

template <typename T> void FakePage::answer(Done<T> done, Result<T> outcome, int delayMs)
{
    if (m_lost) {
        QTimer::singleShot(0, this, [done, why = *m_lost] { done(why); });
        return;
    }
    // A request under way fails at once when the page is lost.
    auto pending = std::make_shared<Done<T>>(std::move(done));
    m_onLoss << [this, pending] {
        if (*pending)
            QTimer::singleShot(0, this,
                               [done = std::exchange(*pending, {}), why = *m_lost] { done(why); });
    };
    QTimer::singleShot(delayMs, this, [pending, outcome = std::move(outcome)]() mutable {
        if (*pending)
            std::exchange(*pending, {})(std::move(outcome));
    });
}

Status FakePage::navigate(const QString &address)
{
    m_browser.navigated << address;
    if (m_browser.failNavigate)
        return Failure{QStringLiteral("The browser could not be reached.")};
    m_browser.document = true;
    return {};
}

QString FakePage::documentError() const
{
    return m_browser.documentError;
}

bool FakePage::hasDocument() const
{
    return m_browser.document;
}

void FakePage::measureDocument(Done<DocumentMetrics> done)
{
    if (m_browser.replacedMeasures > 0) {
        --m_browser.replacedMeasures;
        answer<DocumentMetrics>(std::move(done),
                                Failure{QStringLiteral("Replaced."), FailureKind::Replaced});
    } else if (!m_browser.metrics)
        answer<DocumentMetrics>(std::move(done), Failure{QStringLiteral("No page is loaded.")});
    else
        answer<DocumentMetrics>(std::move(done), *m_browser.metrics);
}

void FakePage::hideScrollbars()
{
    ++m_browser.hideScrollbarCalls;
}

Status FakePage::setPlacement(const Placement &placement)
{
    if (placement.width < 0 || placement.height < 0)
        return Failure{QStringLiteral("A browser cannot have a negative size.")};
    m_placement = placement;
    return {};
}

Status FakePage::setLayoutViewport(QSize size, qreal deviceScale)
{
    m_viewport = size;
    m_scale = deviceScale;
    return {};
}

void FakePage::waitForNetworkIdle(std::chrono::milliseconds, Done<bool> done)
{
    answer<bool>(std::move(done), true);
}

void FakePage::prepareForCapture(const CapturePreparation &what, Done<bool> done)
{
    m_browser.preparations << what;
    answer<bool>(std::move(done), true);
}

void FakePage::paint(const QRect &clip, Done<QByteArray> png)
{
    ++m_browser.paintCalls;
    m_browser.placementsPainted << m_placement;
    m_browser.clipsPainted << clip;
    if (m_browser.onPaint)
        m_browser.onPaint();
    if (m_browser.holdPaints) {
        answer<QByteArray>(std::move(png), QByteArray(), std::numeric_limits<int>::max());
        return;
    }
    if (m_browser.failPaint) {
        answer<QByteArray>(std::move(png),
                           Failure{QStringLiteral("The browser stopped responding.")});
        return;
    }
    QImage image(int(std::lround(clip.width() * m_scale)),
                 int(std::lround(clip.height() * m_scale)), QImage::Format_RGB32);
    const int top = int(std::lround(clip.y() * m_scale));
    if (m_browser.paintColour) {
        image.fill(*m_browser.paintColour);
    } else {
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = FakeBrowser::patternColour(x, top + y);
        }
    }
    answer<QByteArray>(std::move(png), pngOf(image), m_browser.paintDelayMs);
}

void FakePage::lose(const Failure &why)
{
    if (m_lost)
        return;
    m_lost = why;
    const auto onLoss = std::exchange(m_onLoss, {});
    for (const auto &fail : onLoss)
        fail();
    emit lost(why);
}

} // namespace snapvel::test
