#include "cli/progressprinter.h"

#include "cli/pagetask.h"

#include <algorithm>

#include <sys/ioctl.h>
#include <unistd.h>

namespace snapvel::cli {

namespace {

// Redrawing the live lines more often than this only flickers.
constexpr int kRedrawIntervalMs = 100;

QString secondsText(qint64 milliseconds)
{
    return QString::number(double(milliseconds) / 1000.0, 'f', milliseconds < 10000 ? 2 : 1) +
           QStringLiteral(" s");
}

// A reason as a sentence on one line.
QString reasonText(QString reason)
{
    reason = printable(reason.simplified());
    if (!reason.isEmpty())
        reason[0] = reason.at(0).toUpper();
    if (!reason.endsWith(QLatin1Char('.')))
        reason += QLatin1Char('.');
    return reason;
}

QString phaseTimes(const PageTimes &times)
{
    QStringList parts;
    auto add = [&parts](const char *name, qint64 milliseconds) {
        if (milliseconds >= 0)
            parts << QLatin1String(name) + QLatin1Char(' ') + secondsText(milliseconds);
    };
    add("load", times.load);
    add("settle", times.settle);
    add("measure", times.measure);
    // Waiting is shown only in a batch where a page had to.
    if (times.wait >= 5)
        add("wait", times.wait);
    add("paint", times.paint);
    add("decode", times.decode);
    add("write", times.write);
    return parts.join(QStringLiteral(", "));
}

} // namespace

QString printable(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QLatin1Char('?');
    return shown;
}

ProgressPrinter::ProgressPrinter(std::FILE *stream, bool live, Verbosity verbosity, int pages,
                                 QObject *parent)
    : QObject(parent), m_stream(stream), m_live(live && verbosity != Verbosity::Quiet),
      m_verbosity(verbosity), m_pages(pages)
{
    if (m_live) {
        winsize size{};
        if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
            m_columns = size.ws_col;
            m_rows = std::max<int>(3, size.ws_row);
        }
    }
    m_redrawTimer.setSingleShot(true);
    connect(&m_redrawTimer, &QTimer::timeout, this, &ProgressPrinter::redraw);
}

ProgressPrinter::~ProgressPrinter()
{
    clearLive();
}

bool ProgressPrinter::isLiveTerminal(std::FILE *stream)
{
    if (!::isatty(::fileno(stream)))
        return false;
    const QByteArray terminal = qgetenv("TERM");
    return !terminal.isEmpty() && terminal != "dumb";
}

QString ProgressPrinter::prefix(int number) const
{
    return QStringLiteral("[%1/%2] ").arg(number).arg(m_pages);
}

void ProgressPrinter::browserStarted(qint64 milliseconds)
{
    if (m_verbosity == Verbosity::Verbose)
        print(QStringLiteral("The browser started in %1.").arg(secondsText(milliseconds)));
}

QString ProgressPrinter::liveLine(const PageTask &task) const
{
    QString state;
    switch (task.phase()) {
    case PagePhase::Loading:
        state = QStringLiteral("loading");
        break;
    case PagePhase::Settling:
        state = QStringLiteral("waiting for the page to settle");
        break;
    case PagePhase::Measuring:
        state = QStringLiteral("measuring");
        break;
    case PagePhase::WaitingForMemory:
        state = QStringLiteral("waiting its turn");
        break;
    case PagePhase::Painting:
        state = task.bands() > 0 ? QStringLiteral("band %1/%2").arg(task.band()).arg(task.bands())
                                 : QStringLiteral("painting");
        break;
    case PagePhase::Writing:
        state = QStringLiteral("writing");
        break;
    case PagePhase::Finished:
        break;
    }
    QString line = prefix(task.order().number) + printable(task.order().address);
    // The state stays in sight: a long address is cut instead.
    const qsizetype room = m_columns - 1 - state.size() - 2;
    if (line.size() > room && room > 8)
        line = line.left(room - 3) + QStringLiteral("...");
    return line + QStringLiteral("  ") + state;
}

QString ProgressPrinter::finishedLine(const PageTask &task) const
{
    const QString address = printable(task.order().address);
    if (!task.succeeded())
        return prefix(task.order().number) + address + QStringLiteral(" failed: ") +
               reasonText(task.failure() ? task.failure()->message : QString());
    QString line = prefix(task.order().number) + address +
                   QStringLiteral(" %1x%2 %3 -> %4")
                       .arg(task.pictureSize().width())
                       .arg(task.pictureSize().height())
                       .arg(secondsText(task.times().total), printable(task.order().path));
    if (m_verbosity == Verbosity::Verbose)
        line += QStringLiteral(" (") + phaseTimes(task.times()) + QLatin1Char(')');
    if (!task.note().isEmpty())
        line += QStringLiteral("; ") + printable(task.note());
    return line;
}

void ProgressPrinter::pageChanged(const PageTask &task)
{
    if (!m_live || task.phase() == PagePhase::Finished)
        return;
    m_liveLines.insert(task.order().number, liveLine(task));
    scheduleRedraw();
}

void ProgressPrinter::pageFinished(const PageTask &task)
{
    m_liveLines.remove(task.order().number);
    if (m_verbosity != Verbosity::Quiet || !task.succeeded())
        print(finishedLine(task));
    else
        scheduleRedraw();
}

void ProgressPrinter::pageRetried(const PageTask &task)
{
    m_liveLines.remove(task.order().number);
    if (m_verbosity != Verbosity::Quiet)
        print(prefix(task.order().number) + printable(task.order().address) +
              QStringLiteral(" is tried again: ") +
              reasonText(task.failure() ? task.failure()->message : QString()));
}

void ProgressPrinter::pageAbandoned(const PageTask &task)
{
    m_liveLines.remove(task.order().number);
    scheduleRedraw();
}

void ProgressPrinter::batchStopped(int captured)
{
    m_liveLines.clear();
    print(QStringLiteral("snapvel capture: stopped before the end: %1 of %2 pages captured.")
              .arg(captured)
              .arg(m_pages));
}

void ProgressPrinter::batchFinished(int captured, int failed, qint64 milliseconds)
{
    m_liveLines.clear();
    clearLive();
    if (m_verbosity == Verbosity::Quiet || m_pages < 2)
        return;
    QString line = QStringLiteral("%1 of %2 pages captured in %3")
                       .arg(captured)
                       .arg(m_pages)
                       .arg(secondsText(milliseconds));
    if (failed > 0)
        line += QStringLiteral("; %1 failed").arg(failed);
    print(line + QLatin1Char('.'));
}

void ProgressPrinter::print(const QString &line)
{
    // Finished lines go above the live ones, which are drawn again below.
    clearLive();
    std::fputs(qPrintable(line + QLatin1Char('\n')), m_stream);
    redraw();
}

void ProgressPrinter::scheduleRedraw()
{
    if (!m_live)
        return;
    if (!m_lastDraw.isValid() || m_lastDraw.elapsed() >= kRedrawIntervalMs)
        redraw();
    else if (!m_redrawTimer.isActive())
        m_redrawTimer.start(int(kRedrawIntervalMs - m_lastDraw.elapsed()));
}

void ProgressPrinter::clearLive()
{
    if (!m_live || m_drawnLines == 0)
        return;
    QByteArray erase;
    for (int i = 0; i < m_drawnLines; ++i)
        erase += "\x1b[1A\x1b[2K"; // up one line, erase it
    std::fputs(erase.constData(), m_stream);
    m_drawnLines = 0;
    std::fflush(m_stream);
}

void ProgressPrinter::redraw()
{
    if (!m_live) {
        std::fflush(m_stream);
        return;
    }
    m_redrawTimer.stop();
    clearLive();
    // Lines scrolled off the top of the screen could not be erased again:
    // no more are drawn than fit.
    const int shown = std::min<int>(int(m_liveLines.size()), m_rows - 2);
    QByteArray text;
    int drawn = 0;
    for (auto line = m_liveLines.cbegin(); line != m_liveLines.cend() && drawn < shown;
         ++line, ++drawn)
        text += line.value().left(m_columns - 1).toLocal8Bit() + '\n';
    std::fputs(text.constData(), m_stream);
    std::fflush(m_stream);
    m_drawnLines = drawn;
    m_lastDraw.restart();
}

} // namespace snapvel::cli
