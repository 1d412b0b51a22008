#pragma once

#include <QList>
#include <QtGlobal>

#include <functional>

namespace snapvel::cli {

// Decides when a measured page may be painted: at most `maxRunning` pages in
// the browser's paint at once, and together the captures never reserve more
// than the memory budget. Pages are let in first come, first served, so a
// large page waiting for memory is not overtaken for ever by smaller ones.
class CaptureGate
{
public:
    CaptureGate(int maxRunning, qint64 budgetBytes);

    qint64 budget() const { return m_budget; }
    qint64 reserved() const { return m_reserved; }
    int running() const { return m_running; }

    // What a capture of a picture of pictureBytes reserves: room for the
    // page to have grown a little by the time it is painted (which is also
    // the most the capture may then paint), and the bands being decoded and
    // the copy an encoder may make on top of it. Never more than the budget.
    struct Reservation
    {
        qint64 bytes = 0;
        qint64 maxPictureBytes = 0;
    };
    Reservation reservationFor(qint64 pictureBytes) const;

    // Whether a picture of this size can be captured at all within the
    // budget, even alone.
    bool fitsBudget(qint64 pictureBytes) const { return pictureBytes <= m_budget; }

    // Asks for a slot and the reservation's bytes; `granted` is called with
    // the request's ticket once they are free (from inside this call when
    // they are free now). Returns the ticket, for release() or withdraw().
    int request(qint64 bytes, std::function<void(int ticket)> granted);
    // The ticket's page has been painted: its slot is given to the next page
    // while its bytes stay reserved until release(), since the picture is
    // still being joined and written.
    void donePainting(int ticket);
    // Gives back a granted ticket's slot (unless done painting) and bytes,
    // and lets in those that now fit.
    void release(int ticket);
    // Forgets a ticket that has not been granted yet (or releases one that has).
    void withdraw(int ticket);

private:
    struct Waiting
    {
        int ticket = 0;
        qint64 bytes = 0;
        std::function<void(int ticket)> granted;
    };
    struct Granted
    {
        int ticket = 0;
        qint64 bytes = 0;
        bool painting = true;
    };

    Granted *granted(int ticket);
    void admit();

    int m_maxRunning;
    qint64 m_budget;
    qint64 m_reserved = 0;
    int m_running = 0;
    int m_nextTicket = 1;
    QList<Waiting> m_waiting;
    QList<Granted> m_granted;
};

} // namespace snapvel::cli
