#pragma once

#include "platform/result.h"

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>

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

// The browser engine that loads and paints pages, out of the user's sight.
//
// Every call is synchronous with a timeout and never runs the UI event loop;
// a call that fails or times out returns a Failure whose message says why.
// Events are delivered later through the Qt event loop, never from inside a
// call.
class Browser : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Browser() override = default;

    // Starts loading an address and returns at once. The address is resolved
    // the way a browser's address bar does (example.com becomes
    // http://example.com/, an absolute path a file:// URL). Addresses that
    // would run script (javascript:) are refused and nothing is loaded.
    virtual Status navigate(const QString &address) = 0;

    // Whether a document has been loaded; false until the first navigate.
    virtual bool hasDocument() const = 0;

    // The current document's measurements, from its scrolling element.
    virtual Result<DocumentMetrics> measureDocument() = 0;

    // Hides the document's own scroll bars.
    virtual Status hideScrollbars() = 0;

    // The placement; its width and height are the area that paint() covers.
    virtual Placement placement() const = 0;
    virtual Status setPlacement(const Placement &placement) = 0;

    // The layout viewport the page is laid out in. Enlarging the placement for
    // a capture does not change it, so content sized to the viewport keeps
    // its size.
    virtual QSize layoutViewport() const = 0;
    virtual Status setLayoutViewport(QSize size) = 0;

    // Paints the whole current area (placement width x height) of the
    // document, its top-left corner at the image's origin.
    virtual Result<QImage> paint() = 0;

signals:
    // A download has finished; may come several times per page, and after a
    // failed navigation.
    void downloadComplete();
    // A document has completed: a frame's (topLevel false) before the page's.
    void documentComplete(bool topLevel);
    // The page asks for a new window. Setting *cancel refuses it: the window
    // is never shown and the current page does not change.
    void newWindowRequested(bool *cancel);
};

} // namespace snapvel
