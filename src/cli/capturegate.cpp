#include "cli/capturegate.h"

#include "snapshot/bandplan.h"

#include <algorithm>

namespace snapvel::cli {

namespace {

// A page may grow between being measured and being painted (late content):
// by a quarter, or 16 MiB for small pages.
constexpr qint64 kGrowthFloor = qint64(16) * 1024 * 1024;

} // namespace

CaptureGate::CaptureGate(int maxRunning, qint64 budgetBytes)
    : m_maxRunning(std::max(1, maxRunning)), m_budget(std::max<qint64>(1, budgetBytes))
{
}

CaptureGate::Reservation CaptureGate::reservationFor(qint64 pictureBytes) const
{
    Reservation reservation;
    const qint64 allowance = std::max(pictureBytes + pictureBytes / 4, pictureBytes + kGrowthFloor);
    reservation.maxPictureBytes = std::min(allowance, m_budget);
    // Two bands decode at once beside the picture; an encoder may convert
    // the whole picture once.
    const qint64 transient = std::min(reservation.maxPictureBytes, 2 * kMaxBandBytes);
    reservation.bytes = std::min(reservation.maxPictureBytes + transient, m_budget);
    return reservation;
}

int CaptureGate::request(qint64 bytes, std::function<void(int ticket)> granted)
{
    const int ticket = m_nextTicket++;
    m_waiting.append({ticket, std::clamp<qint64>(bytes, 0, m_budget), std::move(granted)});
    admit();
    return ticket;
}

CaptureGate::Granted *CaptureGate::granted(int ticket)
{
    const auto found = std::find_if(m_granted.begin(), m_granted.end(),
                                    [ticket](const Granted &g) { return g.ticket == ticket; });
    return found == m_granted.end() ? nullptr : &*found;
}

void CaptureGate::donePainting(int ticket)
{
    Granted *found = granted(ticket);
    if (!found || !found->painting)
        return;
    found->painting = false;
    --m_running;
    admit();
}

void CaptureGate::release(int ticket)
{
    Granted *found = granted(ticket);
    if (!found)
        return;
    m_reserved -= found->bytes;
    if (found->painting)
        --m_running;
    m_granted.removeAt(found - m_granted.data());
    admit();
}

void CaptureGate::withdraw(int ticket)
{
    const auto waiting = std::find_if(m_waiting.begin(), m_waiting.end(),
                                      [ticket](const Waiting &w) { return w.ticket == ticket; });
    if (waiting == m_waiting.end()) {
        release(ticket);
        return;
    }
    const bool wasFirst = waiting == m_waiting.begin();
    m_waiting.erase(waiting);
    if (wasFirst)
        admit();
}

void CaptureGate::admit()
{
    while (!m_waiting.isEmpty() && m_running < m_maxRunning &&
           m_reserved + m_waiting.constFirst().bytes <= m_budget) {
        Waiting next = m_waiting.takeFirst();
        m_reserved += next.bytes;
        ++m_running;
        m_granted.append({next.ticket, next.bytes, true});
        // The callback may release or request: the gate is consistent here.
        next.granted(next.ticket);
    }
}

} // namespace snapvel::cli
