#pragma once

#include "platform/browser.h"
#include "platform/cdp/pagescripts.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace snapvel::cdp {

// Prepares a page's document for a capture (see CapturePreparation), one
// step after the other, each bounded:
//
// 1. expand: when the document does not scroll but a box filling most of
//    the viewport does, that box and the boxes around it are made as tall as
//    its content (fixed ones become absolute, so that the document holds
//    them);
// 2. reveal: what Chromium draws only in and near the viewport is made to
//    draw beyond it, where it would otherwise be left blank: parts skipped
//    while far from view (content-visibility: auto) are rendered,
//    backgrounds fixed to the viewport scroll with their element, elements
//    stuck to the viewport's foot stay in their place, and pictures decoded
//    apart from painting (decoding="async") are decoded as they are
//    painted. Then the page is shrunk (a scale transform on its
//    root element, which leaves its layout alone) until all of it fits the
//    viewport, for two renderings, so that everything an
//    IntersectionObserver watches counts as seen once, as if a person had
//    scrolled through the page; a scroll event tells listeners that look
//    for themselves. Then the network is watched until nothing has been
//    under way for a moment;
// 3. fonts: web fonts still loading are waited for;
// 4. expand again, for content that arrived meanwhile;
// 5. frames: Chromium does not render a frame whose document the page cannot
//    reach (one of another site, a sandboxed one, any frame of a file://
//    page) while it is outside the viewport, and drops what it had painted,
//    so a paint beyond the viewport shows the page's background in its
//    place. Which frames count as outside is decided after each rendering
//    from that rendering, so no change made for the paint can reach the
//    rendering that is painted in time. Instead, each such frame outside the
//    first screen is scrolled into view and painted on its own (fixed and
//    sticky elements made transparent meanwhile), and its picture is laid
//    over it for the capture, in a closed shadow tree made by the program's
//    own script: the page's script cannot reach the pictures, which would
//    show it documents it may not read;
// 6. animations: when the page is revealed, animations that follow their
//    element through the viewport (animation-timeline: view()) are held as
//    they are with the element in the middle of the viewport, found by
//    scrolling to each; then animations and transitions under way that end
//    (content fading or sliding in as it came into view) are waited for, so
//    that the picture shows where they end and not a moment of them.
//
// These changes, the expansion and the frames' pictures stay for the
// capture and are taken away when the next preparation starts. A preparation
// asked for while one runs ends the earlier one (with false).
class CapturePreparer : public QObject
{
    Q_OBJECT

public:
    // `send` carries out the page's commands, `mainFrame` names its main
    // frame, and `timeout` bounds each step's command.
    CapturePreparer(PageSend send, std::function<QString()> mainFrame,
                    std::chrono::milliseconds timeout, QObject *parent = nullptr);

    void prepare(const CapturePreparation &what, Done<bool> done);

    // The page's events: the network's are this object's business while it
    // watches them (returns whether the event was one of them).
    bool handleEvent(const Message &message);

    // The page was lost: a preparation under way fails with `why`.
    void abandon(const Failure &why);

private:
    using Step = std::function<void()>;

    // Runs the next step of the current preparation, or ends it.
    void next();
    void finish(Result<bool> outcome);
    // Whether a reply of the current preparation still counts; a lost page
    // ends the preparation.
    bool current(quint64 run, const Result<ScriptValue> &reply);

    void restorePrevious();
    void makeHelper();
    void expand();
    void reveal();
    // Scrolls through the page when it listens to scrolling on one of
    // `targets` (script expressions), then watches the network.
    void scrollThrough(QStringList targets);
    void watchNetwork();
    void networkChanged();
    void stopWatching();
    void waitForFonts();
    void waitForAnimations();
    void findFrames();
    void paintFrame(int tile, int tiles);

    PageSend m_send;
    std::chrono::milliseconds m_timeout;
    PageScripts m_scripts;

    quint64 m_run = 0; // bumped by each preparation
    bool m_running = false;
    CapturePreparation m_what;
    Done<bool> m_done;
    QList<Step> m_steps;
    bool m_complete = true;
    QString m_helper;  // the page-side helper of the current preparation
    QString m_changed; // the helper holding the last changes to undo, if any

    QElapsedTimer m_framesClock; // since the frames step started
    bool m_watching = false;
    QSet<QString> m_requests;  // under way while watched
    bool m_sawRequest = false; // any request started while watched
    QTimer m_quiet;
    QTimer m_networkDeadline;
};

} // namespace snapvel::cdp
