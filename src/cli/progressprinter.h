#pragma once

#include "cli/options.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdio>

namespace snapvel::cli {

class PageTask;

// Tells the user on standard error how the batch goes. On a terminal, each
// running page has a live line ("[3/20] address  band 2/4") below the lines
// of the pages already finished; elsewhere (a log, a pipe) each page gets
// one line when it finishes. Quiet prints failures only; verbose adds each
// page's phase times to its line.
class ProgressPrinter : public QObject
{
    Q_OBJECT

public:
    ProgressPrinter(std::FILE *stream, bool live, Verbosity verbosity, int pages,
                    QObject *parent = nullptr);
    ~ProgressPrinter() override;

    // Whether stream is a terminal that understands cursor movement.
    static bool isLiveTerminal(std::FILE *stream);

    // Once, in verbose mode: how long the browser took to start.
    void browserStarted(qint64 milliseconds);
    void pageChanged(const PageTask &task);
    void pageFinished(const PageTask &task);
    void pageRetried(const PageTask &task);
    // A page given up unfinished because the batch was stopped.
    void pageAbandoned(const PageTask &task);
    void batchFinished(int captured, int failed, qint64 milliseconds);
    // Printed even in quiet mode: the batch did not do all it was asked.
    void batchStopped(int captured);

    // The line for a finished page, as printed (without the newline).
    QString finishedLine(const PageTask &task) const;

private:
    QString prefix(int number) const;
    QString liveLine(const PageTask &task) const;
    void print(const QString &line);
    void redraw();
    void scheduleRedraw();
    void clearLive();

    std::FILE *m_stream;
    bool m_live;
    Verbosity m_verbosity;
    int m_pages;
    QMap<int, QString> m_liveLines; // by page number
    int m_drawnLines = 0;
    int m_columns = 80;
    int m_rows = 24;
    QElapsedTimer m_lastDraw;
    QTimer m_redrawTimer;
};

// The text with control characters shown as '?', so that an address from a
// list cannot move the cursor or change the terminal.
QString printable(const QString &text);

} // namespace snapvel::cli
