#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <ctime>

namespace snapvel::test {

// Measures how long the event loop goes without running: a 10 ms timer
// records the longest time between two of its ticks while this object lives,
// and how much processor time this thread used in that gap (little, when the
// gap was the system giving the processor to other programs rather than
// this thread being busy).
class EventLoopGap : public QObject
{
public:
    EventLoopGap()
    {
        m_timer.setInterval(10);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 cpu = threadCpuMs();
            const qint64 gap = m_sinceTick.restart();
            if (gap > m_longest) {
                m_longest = gap;
                m_cpuInLongest = cpu - m_cpuAtTick;
            }
            m_busiest = std::max(m_busiest, cpu - m_cpuAtTick);
            m_cpuAtTick = cpu;
        });
        m_sinceTick.start();
        m_cpuAtTick = threadCpuMs();
        m_timer.start();
    }

    // The longest gap so far, in milliseconds, and the processor time this
    // thread used in it.
    qint64 longest() const { return std::max(m_longest, m_sinceTick.elapsed()); }
    qint64 cpuInLongest() const { return m_cpuInLongest; }
    // The most processor time this thread spent between two ticks: how long
    // the program itself kept the event loop from running.
    qint64 busiest() const { return m_busiest; }
    // Whether the event loop ran often enough: no stretch of the program's
    // own work on this thread above `busyMs`, and no gap at all above
    // `gapMs` (a gap in which this thread was not busy is the system giving
    // the processor to other programs, as on a loaded test machine).
    // Built with AddressSanitizer, the program's own work may take twice as
    // long: every allocation also writes its shadow memory, so allocating
    // the picture of a 100,000 px page on this thread took 160 to 210 ms
    // there on a machine where fresh memory is dear, and no time at all in
    // the program users run.
    bool respondedWithin(qint64 busyMs, qint64 gapMs) const
    {
#ifdef __SANITIZE_ADDRESS__
        busyMs *= 2;
#endif
        return busiest() < busyMs && longest() < gapMs;
    }
    void reset()
    {
        m_longest = 0;
        m_cpuInLongest = 0;
        m_busiest = 0;
        m_sinceTick.restart();
        m_cpuAtTick = threadCpuMs();
    }
    QString describe() const
    {
        return QStringLiteral("the window did not respond for %1 ms (%2 ms of it busy); at "
                              "most %3 ms of its own work between two turns of the event loop")
            .arg(longest())
            .arg(cpuInLongest())
            .arg(busiest());
    }

private:
    static qint64 threadCpuMs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    }

    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
    qint64 m_cpuInLongest = 0;
    qint64 m_cpuAtTick = 0;
    qint64 m_busiest = 0;
};

} // namespace snapvel::test
