#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace snapvel::test {

// Measures how long the event loop goes without running: a 10 ms timer
// records the longest time between two of its ticks while this object lives.
class EventLoopGap : public QObject
{
public:
    EventLoopGap()
    {
        m_timer.setInterval(10);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this,
                [this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
        m_sinceTick.start();
        m_timer.start();
    }

    // The longest gap so far, in milliseconds.
    qint64 longest() const { return std::max(m_longest, m_sinceTick.elapsed()); }
    void reset()
    {
        m_longest = 0;
        m_sinceTick.restart();
    }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

} // namespace snapvel::test
