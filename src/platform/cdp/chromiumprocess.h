#pragma once

#include "platform/result.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class QProcess;
class QTemporaryDir;

namespace snapvel::cdp {

// The command line Chromium is started with, for a profile folder.
QStringList chromiumArguments(const QString &profilePath, bool runningAsRoot);

// One headless Chromium process with a fresh temporary profile, driven over
// the DevTools pipe: the child reads commands from its fd 3 and writes
// replies and events to its fd 4. The process is killed when this program
// dies, even by SIGKILL, and runs in its own process group so that its
// helpers can be ended with it. It starts without a window: pages are
// opened over the pipe.
class ChromiumProcess : public QObject
{
    Q_OBJECT

public:
    explicit ChromiumProcess(const QString &executable, QObject *parent = nullptr);
    ~ChromiumProcess() override;

    // Creates the profile and the pipes and starts Chromium without waiting
    // for it to be ready.
    Status start();

    // This side's ends of the pipes; the caller takes ownership.
    int takeCommandFd();
    int takeMessageFd();

    qint64 processId() const;
    QString profilePath() const;
    bool isRunning() const;

    // Removes the name of the Unix socket Chromium listens on for a second
    // copy of itself to hand over its command line (its process singleton),
    // once Chromium has started: no process can connect to it then, and
    // nothing reaches the browser but this program's pipe.
    void unlinkSingletonSocket();

    // Why the process ended, for one that ended before the browser was
    // ready: how it ended, and the last thing it said on its error output.
    QString endReason() const;

    // Kills Chromium and its helpers at once and returns without waiting;
    // the profile is deleted once the process has been reaped (or after a
    // while if it is never reported), and cleanedUp() is emitted then.
    void kill();

    // Waits up to the grace period for Chromium to exit (after the caller has
    // asked it to close), kills it and its helpers if it has not, and deletes
    // the profile. Blocks: only for the end of the program.
    void stop(std::chrono::milliseconds grace);

signals:
    // The process ended, by itself or killed.
    void exited();
    // After kill(): the process and its helpers are gone, the profile too.
    void cleanedUp();

private:
    void killGroup();
    void finishCleanUp();
    void removeProfile();
    void keepErrorOutput();

    QString m_executable;
    QProcess *m_process = nullptr;
    std::unique_ptr<QTemporaryDir> m_profile;
    qint64 m_pid = 0;
    int m_commandFd = -1;
    int m_messageFd = -1;
    bool m_killed = false;
    bool m_cleanedUp = false;
    int m_removalAttempts = 0;
    QByteArray m_errorTail; // the end of what it wrote to its error output
};

} // namespace snapvel::cdp
