#include "platform/cdp/capturepreparation.h"
#include "platform/cdp/capturepreparationscript.h"

#include <QJsonArray>

#include <algorithm>

namespace snapvel::cdp {

namespace {

// The most frame tiles (each at most a viewport) painted on their own.
constexpr int MostFrameTiles = 64;

// A command's reply as a step's: its success carries no value.
Result<ScriptValue> acknowledged(const Result<Message> &reply)
{
    return reply ? Result<ScriptValue>(ScriptValue{}) : reply.failure();
}

} // namespace

CapturePreparer::CapturePreparer(PageSend send, std::function<QString()> mainFrame,
                                 std::chrono::milliseconds timeout, QObject *parent)
    : QObject(parent), m_send(std::move(send)), m_timeout(timeout),
      m_scripts(m_send, std::move(mainFrame))
{
    m_quiet.setSingleShot(true);
    m_networkDeadline.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this, [this] {
        stopWatching();
        next();
    });
    connect(&m_networkDeadline, &QTimer::timeout, this, [this] {
        // Still loading: the capture goes ahead with what has come.
        m_complete = false;
        stopWatching();
        next();
    });
}

void CapturePreparer::prepare(const CapturePreparation &what, Done<bool> done)
{
    if (m_running) {
        stopWatching();
        finish(false);
    }
    ++m_run;
    m_running = true;
    m_what = what;
    m_done = std::move(done);
    m_complete = true;
    m_steps = {[this] { restorePrevious(); }, [this] { makeHelper(); }};
    if (what.expandScroller)
        m_steps << [this] { expand(); };
    if (what.revealContent)
        m_steps << [this] { reveal(); };
    if (what.fontsTimeout.count() > 0)
        m_steps << [this] { waitForFonts(); };
    if (what.expandScroller)
        m_steps << [this] { expand(); };
    if (what.paintFrames)
        m_steps << [this] { findFrames(); };
    if (what.animationsTimeout.count() > 0)
        m_steps << [this] { waitForAnimations(); };
    // Always from the event loop, never from inside this call.
    QTimer::singleShot(0, this, [this, run = m_run] {
        if (run == m_run && m_running)
            next();
    });
}

void CapturePreparer::next()
{
    if (!m_running)
        return;
    if (m_steps.isEmpty()) {
        m_helper.clear();
        finish(m_complete);
        return;
    }
    const Step step = m_steps.takeFirst();
    step();
}

void CapturePreparer::finish(Result<bool> outcome)
{
    m_running = false;
    m_steps.clear();
    // From the event loop, also when a new preparation ends this one.
    QTimer::singleShot(0, this, [done = std::exchange(m_done, {}), outcome] {
        if (done)
            done(outcome);
    });
}

bool CapturePreparer::current(quint64 run, const Result<ScriptValue> &reply)
{
    if (run != m_run || !m_running)
        return false;
    if (!reply && reply.kind() != FailureKind::Other) {
        abandon(reply.failure());
        return false;
    }
    // A step the page refused leaves it as it was; the others still run.
    if (!reply)
        m_complete = false;
    return true;
}

void CapturePreparer::abandon(const Failure &why)
{
    if (!m_running)
        return;
    stopWatching();
    m_helper.clear();
    finish(why);
}

void CapturePreparer::restorePrevious()
{
    if (m_changed.isEmpty()) {
        next();
        return;
    }
    const QString changed = std::exchange(m_changed, {});
    m_scripts.call(changed, QStringLiteral("function () { this.restore(); }"), {}, false, m_timeout,
                   [this, run = m_run, changed](Result<ScriptValue> restored) {
                       m_scripts.release(changed);
                       // Gone with its document, most likely: nothing to undo.
                       if (!restored && restored.kind() == FailureKind::Other)
                           restored = ScriptValue{};
                       if (current(run, restored))
                           next();
                   });
}

void CapturePreparer::makeHelper()
{
    m_scripts.makeObject(QString::fromUtf8(CapturePreparationScript), m_timeout,
                         [this, run = m_run](Result<ScriptValue> helper) {
                             if (!current(run, helper))
                                 return;
                             if (!helper || helper->objectId.isEmpty()) {
                                 m_complete = false;
                                 m_steps.clear();
                             } else {
                                 // Whatever it changes is undone by the next
                                 // preparation, even if this one is cut short.
                                 m_helper = m_changed = helper->objectId;
                             }
                             next();
                         });
}

void CapturePreparer::expand()
{
    m_scripts.call(m_helper, QStringLiteral("function () { return this.expand(); }"), {}, true,
                   m_timeout, [this, run = m_run](Result<ScriptValue> grown) {
                       if (current(run, grown))
                           next();
                   });
}

void CapturePreparer::reveal()
{
    // The network is watched from before the page is revealed, so that no
    // request it starts goes unseen.
    m_requests.clear();
    m_sawRequest = false;
    m_watching = true;
    m_send(QStringLiteral("Network.enable"), {}, m_timeout,
           [this, run = m_run](Result<Message> enabled) {
               const Result<ScriptValue> reply = acknowledged(enabled);
               if (!current(run, reply))
                   return;
               m_scripts.call(
                   m_helper, QStringLiteral("function () { return this.reveal(); }"), {}, true,
                   m_timeout, [this, run](Result<ScriptValue> revealed) {
                       if (!current(run, revealed))
                           return;
                       // Only a page that hides content out of view may
                       // show it as it is scrolled.
                       if (m_what.scrollThroughTimeout.count() > 0 && revealed &&
                           revealed->value.toBool(false))
                           scrollThrough({QStringLiteral("window"), QStringLiteral("document")});
                       else
                           watchNetwork();
                   });
           });
}

void CapturePreparer::scrollThrough(QStringList targets)
{
    // The page's own listeners are those of its main world, where its
    // script runs, not of the world the helper runs in.
    const QString group = QStringLiteral("snapvel-listeners");
    if (targets.isEmpty()) {
        m_send(QStringLiteral("Runtime.releaseObjectGroup"),
               {{QStringLiteral("objectGroup"), group}}, m_timeout, {});
        watchNetwork();
        return;
    }
    const QString target = targets.takeFirst();
    const auto listens = [this, run = m_run, targets, group](Result<Message> reply) {
        if (run != m_run || !m_running)
            return;
        const Result<ScriptValue> found = acknowledged(reply);
        // A target the page would not describe counts as not listening.
        if (!found && found.kind() == FailureKind::Other) {
            scrollThrough(targets);
            return;
        }
        if (!current(run, found))
            return;
        const QJsonArray listeners = reply->params.value(QLatin1String("listeners")).toArray();
        const bool scrolling = std::any_of(listeners.begin(), listeners.end(), [](const auto &l) {
            return l.toObject().value(QLatin1String("type")).toString() == QLatin1String("scroll");
        });
        if (!scrolling) {
            scrollThrough(targets);
            return;
        }
        m_send(QStringLiteral("Runtime.releaseObjectGroup"),
               {{QStringLiteral("objectGroup"), group}}, m_timeout, {});
        m_scripts.call(m_helper, QStringLiteral("function (ms) { return this.through(ms); }"),
                       {qint64(m_what.scrollThroughTimeout.count())}, true,
                       m_what.scrollThroughTimeout + m_timeout,
                       [this, run](Result<ScriptValue> scrolled) {
                           if (current(run, scrolled))
                               watchNetwork();
                       });
    };
    m_send(QStringLiteral("Runtime.evaluate"),
           {{QStringLiteral("expression"), target}, {QStringLiteral("objectGroup"), group}},
           m_timeout, [this, run = m_run, targets, listens](Result<Message> evaluated) {
               if (run != m_run || !m_running)
                   return;
               const Result<ScriptValue> object = scriptValueOf(evaluated);
               if (!object && object.kind() == FailureKind::Other) {
                   scrollThrough(targets);
                   return;
               }
               if (!current(run, object))
                   return;
               m_send(QStringLiteral("DOMDebugger.getEventListeners"),
                      {{QStringLiteral("objectId"), object->objectId}}, m_timeout, listens);
           });
}

void CapturePreparer::watchNetwork()
{
    m_networkDeadline.start(m_what.networkTimeout);
    networkChanged();
}

bool CapturePreparer::handleEvent(const Message &message)
{
    if (!message.method.startsWith(QLatin1String("Network.")))
        return false;
    if (!m_watching)
        return true;
    const QString request = message.params.value(QLatin1String("requestId")).toString();
    if (message.method == QLatin1String("Network.requestWillBeSent")) {
        m_requests.insert(request);
        m_sawRequest = true;
    } else if (message.method == QLatin1String("Network.loadingFinished") ||
               message.method == QLatin1String("Network.loadingFailed"))
        m_requests.remove(request);
    else
        return true;
    networkChanged();
    return true;
}

void CapturePreparer::networkChanged()
{
    // Quiet only counts once the page has been revealed.
    if (!m_networkDeadline.isActive())
        return;
    if (m_requests.isEmpty()) {
        if (!m_quiet.isActive())
            m_quiet.start(m_sawRequest ? m_what.networkQuietFor
                                       : std::min(m_what.networkSilentFor, m_what.networkQuietFor));
    } else {
        m_quiet.stop();
    }
}

void CapturePreparer::stopWatching()
{
    m_quiet.stop();
    m_networkDeadline.stop();
    m_requests.clear();
    if (std::exchange(m_watching, false))
        m_send(QStringLiteral("Network.disable"), {}, m_timeout, {});
}

void CapturePreparer::waitForFonts()
{
    m_scripts.call(m_helper, QStringLiteral("function (ms) { return this.fonts(ms); }"),
                   {qint64(m_what.fontsTimeout.count())}, true, m_what.fontsTimeout + m_timeout,
                   [this, run = m_run](Result<ScriptValue> ready) {
                       if (!current(run, ready))
                           return;
                       if (ready && !ready->value.toBool(true))
                           m_complete = false;
                       next();
                   });
}

void CapturePreparer::waitForAnimations()
{
    // Animations still running when the time is up are painted as they
    // are: the page has loaded all the same.
    m_scripts.call(
        m_helper, QStringLiteral("function (ms, whole) { return this.animations(ms, whole); }"),
        {qint64(m_what.animationsTimeout.count()), m_what.revealContent}, true,
        m_what.animationsTimeout + m_timeout, [this, run = m_run](Result<ScriptValue> done) {
            if (current(run, done))
                next();
        });
}

void CapturePreparer::findFrames()
{
    m_scripts.call(m_helper, QStringLiteral("function (most) { return this.frames(most); }"),
                   {MostFrameTiles}, false, m_timeout,
                   [this, run = m_run](Result<ScriptValue> found) {
                       if (!current(run, found))
                           return;
                       const int tiles = found ? found->value.toInt() : 0;
                       if (tiles <= 0) {
                           next();
                           return;
                       }
                       m_framesClock.start();
                       paintFrame(0, tiles);
                   });
}

void CapturePreparer::paintFrame(int tile, int tiles)
{
    if (tile < tiles && m_framesClock.elapsed() > m_what.framesTimeout.count()) {
        // The frames left stay as Chromium paints them.
        m_complete = false;
        tile = tiles;
    }
    if (tile >= tiles) {
        m_scripts.call(m_helper, QStringLiteral("function () { return this.framesDone(); }"), {},
                       true, m_timeout, [this, run = m_run](Result<ScriptValue> done) {
                           if (!current(run, done))
                               return;
                           if (done && !done->value.toBool(true))
                               m_complete = false; // the frames moved
                           next();
                       });
        return;
    }
    const quint64 run = m_run;
    const auto following = [this, tile, tiles] { paintFrame(tile + 1, tiles); };
    m_scripts.call(
        m_helper, QStringLiteral("function (index) { return this.show(index); }"), {tile}, true,
        m_timeout, [this, run, tile, following](Result<ScriptValue> shown) {
            if (!current(run, shown))
                return;
            const QJsonObject area = shown ? shown->value.toObject() : QJsonObject();
            if (area.isEmpty()) {
                m_complete = false;
                following();
                return;
            }
            const QJsonObject clip{{QStringLiteral("x"), area.value(QLatin1String("x"))},
                                   {QStringLiteral("y"), area.value(QLatin1String("y"))},
                                   {QStringLiteral("width"), area.value(QLatin1String("width"))},
                                   {QStringLiteral("height"), area.value(QLatin1String("height"))},
                                   {QStringLiteral("scale"), 1}};
            // In view, the frame is rendered: painted as it is shown, not
            // beyond the viewport.
            m_send(QStringLiteral("Page.captureScreenshot"),
                   {{QStringLiteral("format"), QStringLiteral("png")},
                    {QStringLiteral("optimizeForSpeed"), true},
                    {QStringLiteral("clip"), clip}},
                   m_timeout, [this, run, tile, following](Result<Message> painted) {
                       const Result<ScriptValue> reply = acknowledged(painted);
                       if (!current(run, reply))
                           return;
                       const QString png =
                           painted ? painted->params.value(QLatin1String("data")).toString()
                                   : QString();
                       if (png.isEmpty()) {
                           m_complete = false;
                           following();
                           return;
                       }
                       m_scripts.call(m_helper,
                                      QStringLiteral("function (index, png) { "
                                                     "return this.place(index, png); }"),
                                      {tile, png}, true, m_timeout,
                                      [this, run, following](Result<ScriptValue> placed) {
                                          if (current(run, placed))
                                              following();
                                      });
                   });
        });
}

} // namespace snapvel::cdp
