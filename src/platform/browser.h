#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>

#include <chrono>

namespace snapvel {

// The six measurements of a document's scrolling element, in CSS pixels.
struct DocumentMetrics
{
    qint64 scrollWidth = 0;
    qint64 offsetWidth = 0;
    qint64 clientWidth = 0;
    qint64 scrollHeight = 0;
    qint64 offsetHeight = 0;
    qint64 clientHeight = 0;
    // The HTTP status the document came with; 0 where there is none (files,
    // data: addresses) or the browser does not say.
    int responseStatus = 0;
};

// Where the browser sits and how large an area it covers, in pixels.
// Left and top are recorded only: the browser is never on screen.
struct Placement
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const Placement &, const Placement &) = default;
};

// How long a page may take over each kind of request before it counts as
// unresponsive.
struct PageTimeouts
{
    std::chrono::milliseconds measure{10000};
    // A paint may take this long plus paintPerMegapixel for each million
    // pixels it covers.
    std::chrono::milliseconds paint{15000};
    std::chrono::milliseconds paintPerMegapixel{500};
    std::chrono::milliseconds navigate{30000};
    // A navigation the page starts itself (its script goes elsewhere, a
    // refresh) that has not put a document in place within this is stopped,
    // and the page stays with the document it shows: meanwhile Chromium
    // holds every request to the page, so this is well under `measure`.
    std::chrono::milliseconds pageNavigation{8000};
    // While the page is otherwise idle its renderer is checked every quarter
    // of this; one that takes longer to answer has stopped responding (a
    // script that never yields), and the page is lost.
    std::chrono::milliseconds responsive{10000};
};

// What a page does between being loaded and being measured for a capture,
// so that the picture shows what a person scrolling through it would see.
// Each step is bounded; a step cut short leaves the page as it is.
struct CapturePreparation
{
    // Brings the whole page into view once, so that content loaded when it
    // comes into view (IntersectionObserver) is asked for, and waits for the
    // network to be quiet (no request for `networkQuietFor`), for at most
    // `networkTimeout`.
    bool revealContent = true;
    std::chrono::milliseconds networkQuietFor{250};
    // When revealing the page started no request at all, the network need
    // stay quiet only this long: an element that is revealed asks for its
    // content at once, while it is in view.
    std::chrono::milliseconds networkSilentFor{50};
    std::chrono::milliseconds networkTimeout{1500};
    // Waits for web fonts still loading, for at most this long (0: not at
    // all).
    std::chrono::milliseconds fontsTimeout{2000};
    // Waits for the page's animations and transitions that end (those set
    // off when it loaded or came into view: content fading or sliding in)
    // to end, for at most this long (0: not at all). With revealContent,
    // animations driven by their element's place in the viewport are first
    // held as they are with it in the middle, within the same time.
    std::chrono::milliseconds animationsTimeout{1500};
    // With revealContent, a page that listens to its own scrolling (script
    // that shows content as its place passes the viewport) is scrolled
    // through a screen at a time and back, for at most this long (0: not
    // at all), as a person would scroll through it.
    std::chrono::milliseconds scrollThroughTimeout{1500};
    // When the document itself does not scroll but a box filling most of
    // the viewport does, grows that box (and the boxes around it) to its
    // whole content, so that the document holds all of it; not where the
    // page then draws next to nothing into the grown part (a list that
    // draws only the rows in its view).
    bool expandScroller = true;
    // Paints frames whose document the page cannot reach (another site's,
    // sandboxed ones, those of file:// pages) outside the first screen,
    // where Chromium does not render them, by painting each one in view
    // (about a tenth of a second each), for at most `framesTimeout` in all.
    bool paintFrames = true;
    std::chrono::milliseconds framesTimeout{2000};
};

// One page (a tab) of the browser, out of the user's sight.
//
// Requests are asynchronous: each returns at once and ends exactly once
// through its Done callback, from the event loop. A callback is never called
// after the page has been destroyed; a caller that may be destroyed first
// guards its callback itself. Events come through the Qt event loop.
//
// A page that is lost (its renderer crashed, it was closed, the browser
// stopped, or it stopped answering) says so once through lost(); every
// request then under way fails with the same failure, and so does every
// later one. A lost page is not reused: ask the browser for a fresh one.
class Page : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Page() override = default;

    // Starts loading an address and returns at once. The address is resolved
    // the way a browser's address bar does (example.com becomes
    // http://example.com/, an absolute path a file:// URL). Addresses that
    // would run script (javascript:) are refused and nothing is loaded.
    virtual Status navigate(const QString &address) = 0;

    // Whether a document has been loaded; false until the first navigate.
    virtual bool hasDocument() const = 0;
    // Whether the page has been lost (see lost()).
    virtual bool isLost() const = 0;
    // Why the current document is the browser's own error page rather than
    // the address's (the server could not be reached, say), in plain words;
    // empty when it is the address's own document. The window shows such a
    // page as it is; a script asking for a capture wants to know.
    virtual QString documentError() const = 0;
    // Where a navigation the page started itself was going when it was
    // stopped for getting no document in time (see
    // PageTimeouts::pageNavigation); empty when none was stopped since the
    // current document came.
    virtual QString stoppedNavigation() const { return {}; }

    // The current document's measurements, from its scrolling element.
    virtual void measureDocument(Done<DocumentMetrics> done) = 0;

    // Hides the document's own scroll bars. Nothing to wait for: a page that
    // cannot do it paints them, and says more at its next request.
    virtual void hideScrollbars() = 0;

    // The placement; its width and height are the area a capture covers.
    // Recorded only: it costs nothing and never fails for a sane size.
    virtual Placement placement() const = 0;
    virtual Status setPlacement(const Placement &placement) = 0;

    // The layout viewport the page is laid out in, and the device scale
    // factor it is painted at (2 paints twice the pixels in each direction
    // with the same layout). Enlarging the placement for a capture does not
    // change it, so content sized to the viewport keeps its size. Applied to
    // the page in the background.
    virtual QSize layoutViewport() const = 0;
    virtual qreal deviceScale() const = 0;
    virtual Status setLayoutViewport(QSize size, qreal deviceScale = 1.0) = 0;

    // Ends when the page's network has been quiet for a moment after the
    // load (no request under way for about 500 ms), or when the timeout
    // passes: true when it went quiet, false when the timeout ended it.
    virtual void waitForNetworkIdle(std::chrono::milliseconds timeout, Done<bool> done) = 0;

    // Prepares the current document for a capture (see CapturePreparation)
    // and ends with true when every step finished within its bound, false
    // when one was cut short or the page's script refused it (the capture
    // can go ahead either way). Fails only when the page cannot be used.
    virtual void prepareForCapture(const CapturePreparation &what, Done<bool> done) = 0;

    // Paints one rectangle of the document (in CSS pixels, from its top-left
    // corner) and hands over the picture as PNG bytes, clip.size() times the
    // device scale in pixels.
    virtual void paint(const QRect &clip, Done<QByteArray> png) = 0;

signals:
    // A download has finished; may come several times per page, and after a
    // failed navigation.
    void downloadComplete();
    // A document has completed: a frame's (topLevel false) before the page's.
    void documentComplete(bool topLevel);
    // The page replaced its document by itself (a script reloaded it or went
    // elsewhere, a refresh), not through navigate(): what was measured or
    // prepared is gone, and a top-level completion follows when the new
    // document has loaded. A paint under way then fails with
    // FailureKind::Replaced.
    void documentReplaced();
    // A navigation ended without a document: the address is a download
    // (which is never saved), or it sent nothing to show. The page keeps its
    // earlier document, and no top-level completion follows for it.
    void navigationFailed(const snapvel::Failure &why);
    // The page asks for a new window. Setting *cancel refuses it: the window
    // is never shown and the current page does not change.
    void newWindowRequested(bool *cancel);
    // The page can no longer be used; emitted once. The failure's kind says
    // why: PageCrashed, BrowserLost or Timeout.
    void lost(const snapvel::Failure &why);
};

// The browser engine: one process that hands out pages. It starts at once,
// so that it is ready by the time an address has been typed, and starts
// afresh when it has stopped and a page is asked for.
class Browser : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Browser() override = default;

    // A new, empty page, usable at once: requests made before the browser
    // is ready are carried out when it is. The browser owns the page (it
    // is deleted with the browser, or earlier with deleteLater()). A page
    // asked for while the browser cannot start is lost at once, saying why.
    virtual Page *openPage() = 0;

    // Whether the browser could be started; says why not (for instance that
    // it is not installed) when it could not.
    virtual Status startStatus() const = 0;

signals:
    // The browser process stopped; its pages are lost. The next openPage()
    // starts a fresh one.
    void stopped(const snapvel::Failure &why);
};

// Why the browser could not start (Browser::startStatus()), followed by what
// the user can do about it.
inline QString browserStartAdvice(const Status &started)
{
    return started.error() +
           QStringLiteral(" Tarvex Snapvel loads pages with Chromium: install "
                          "it with \"sudo apt-get install chromium-headless-shell\".");
}

} // namespace snapvel

Q_DECLARE_METATYPE(snapvel::Failure)
