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
// helpers can be ended with it.
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

    // Waits up to the grace period for Chromium to exit (after the caller has
    // asked it to close), kills it and its helpers if it has not, and deletes
    // the profile.
    void stop(std::chrono::milliseconds grace);

private:
    QString m_executable;
    QProcess *m_process = nullptr;
    std::unique_ptr<QTemporaryDir> m_profile;
    qint64 m_pid = 0;
    int m_commandFd = -1;
    int m_messageFd = -1;
};

} // namespace snapvel::cdp
