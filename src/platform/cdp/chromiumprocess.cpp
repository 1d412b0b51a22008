#include "platform/cdp/chromiumprocess.h"

#include "platform/cdp/chromiumenvironment.h"
#include "platform/cdp/profilefolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace snapvel::cdp {

namespace {

// Descriptors handed to the child are first moved above this number, so that
// placing them on fds 3 and 4 in the child can never overwrite one another.
constexpr int HighFd = 10;

struct Pipe
{
    int read = -1;
    int write = -1;
};

bool openPipe(Pipe &pipe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    pipe.read = ::fcntl(fds[0], F_DUPFD_CLOEXEC, HighFd);
    pipe.write = ::fcntl(fds[1], F_DUPFD_CLOEXEC, HighFd);
    ::close(fds[0]);
    ::close(fds[1]);
    return pipe.read >= 0 && pipe.write >= 0;
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

QStringList chromiumArguments(const QString &profilePath, bool runningAsRoot)
{
    QStringList arguments{
        QStringLiteral("--remote-debugging-pipe"),
        QStringLiteral("--headless"),
        QStringLiteral("--disable-gpu"),
        QStringLiteral("--no-first-run"),
        QStringLiteral("--no-default-browser-check"),
        QStringLiteral("--disable-background-networking"),
        QStringLiteral("--disable-component-update"),
        QStringLiteral("--disable-sync"),
        QStringLiteral("--mute-audio"),
        // Pages are laid out without room for scroll bars from the start:
        // hiding them later (Emulation.setScrollbarsHidden) stops painting
        // them, but a document already laid out keeps their room, and the
        // page would be measured and painted that much wider.
        QStringLiteral("--hide-scrollbars"),
        // A page's window.open outside a click is otherwise dropped silently
        // by the popup blocker; the program is to be asked about every new
        // window a page requests (and refuses them itself).
        QStringLiteral("--disable-popup-blocking"),
        // Chromium's error page otherwise loads the failed address again by
        // itself, and each retry would complete the page once more.
        QStringLiteral("--disable-auto-reload"),
        // Images and frames marked loading="lazy" far down a page are
        // otherwise never loaded, so never painted.
        QStringLiteral("--blink-settings=lazyLoadEnabled=false"),
        // Keep cross-site frames in the page's renderer, and so on the
        // page's own DevTools session; the profile is fresh and empty. This
        // alone does not paint them beyond the first screen: the capture's
        // preparation does (see capturepreparation.h).
        //
        // Every window also gets the address bar's two suggestion pop-ups,
        // each a page of its own in a renderer of its own, loaded whether or
        // not anyone types: a window for each captured page made two more
        // renderers compete with its painting.
        //
        // A page that loads another address would keep the document it
        // leaves in the back/forward cache, memory and all, for a going back
        // that never comes.
        QStringLiteral("--disable-site-isolation-trials"),
        QStringLiteral("--disable-features=IsolateOrigins,site-per-process,WebUIOmniboxPopup,"
                       "WebUIOmniboxAimPopup,BackForwardCache"),
        // No first tab: every page is opened over the pipe, so that the
        // browser holds only the program's own pages.
        QStringLiteral("--no-startup-window"),
        QStringLiteral("--user-data-dir=") + profilePath,
    };
    // Chromium refuses to start as root with its sandbox on.
    if (runningAsRoot)
        arguments << QStringLiteral("--no-sandbox");
    return arguments;
}

// How often, and how far apart, removing the profile is tried again while a
// helper that was just killed may still hold files in it.
constexpr int ProfileRemovalAttempts = 20;
constexpr int ProfileRemovalIntervalMs = 100;
// How long a killed Chromium may take to be reported finished before its
// clean-up goes ahead anyway.
constexpr int ReapWaitMs = 5000;
// How much of the end of Chromium's error output is kept.
constexpr qsizetype ErrorTailBytes = 4096;

ChromiumProcess::ChromiumProcess(const QString &executable, QObject *parent)
    : QObject(parent), m_executable(executable), m_process(new QProcess(this))
{
    connect(m_process, &QProcess::finished, this, [this] {
        emit exited();
        if (m_killed)
            finishCleanUp();
    });
}

ChromiumProcess::~ChromiumProcess()
{
    m_process->disconnect(this);
    stop(std::chrono::milliseconds(0));
    closeFd(m_commandFd);
    closeFd(m_messageFd);
}

Status ChromiumProcess::start()
{
    const QFileInfo program(m_executable);
    if (!program.exists())
        return Failure{QStringLiteral("The browser could not be started: %1 does not exist.")
                           .arg(m_executable)};
    if (!program.isExecutable())
        return Failure{QStringLiteral("The browser could not be started: %1 is not a program.")
                           .arg(m_executable)};

    removeStaleProfileFolders(QDir::tempPath());
    m_profile = std::make_unique<QTemporaryDir>(profileFolderTemplate());
    if (!m_profile->isValid())
        return Failure{QStringLiteral("The browser could not be started: no profile folder could "
                                      "be created (%1).")
                           .arg(m_profile->errorString())};

    Pipe commands;
    Pipe messages;
    if (!openPipe(commands) || !openPipe(messages)) {
        closeFd(commands.read);
        closeFd(commands.write);
        closeFd(messages.read);
        closeFd(messages.write);
        return Failure{QStringLiteral("The browser could not be started: no pipe could be "
                                      "opened to it.")};
    }

    const int childCommands = commands.read;
    const int childMessages = messages.write;
    const pid_t parent = ::getpid();
    // Runs in the child between fork and exec: async-signal-safe calls only.
    // dup2 leaves the new fds 3 and 4 open across exec; the originals are
    // close-on-exec.
    m_process->setChildProcessModifier([childCommands, childMessages, parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        ::setpgid(0, 0);
        ::dup2(childCommands, 3);
        ::dup2(childMessages, 4);
    });
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
    if (qEnvironmentVariableIsSet("SNAPVEL_BROWSER_LOG"))
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        keepErrorOutput();
    // Chromium's files outside its data folder go into the profile as well,
    // among them its temporary files and the folder of the socket it listens
    // on for a second copy of itself (its process singleton): private to this
    // user, and deleted with the profile even when Chromium is killed.
    const bool runningAsRoot = ::geteuid() == 0;
    m_process->setProcessEnvironment(chromiumEnvironment(m_profile->path(),
                                                         QProcessEnvironment::systemEnvironment(),
                                                         pageFaultLibrary(!runningAsRoot)));
    m_process->start(m_executable, chromiumArguments(m_profile->path(), runningAsRoot) +
                                       chromiumProfileArguments(m_profile->path()));
    m_pid = m_process->processId();

    // The child holds its own copies now.
    closeFd(commands.read);
    closeFd(messages.write);
    m_commandFd = commands.write;
    m_messageFd = messages.read;
    if (m_process->state() == QProcess::NotRunning) {
        closeFd(m_commandFd);
        closeFd(m_messageFd);
        return Failure{
            QStringLiteral("The browser could not be started: %1.").arg(m_process->errorString())};
    }
    return {};
}

int ChromiumProcess::takeCommandFd()
{
    return std::exchange(m_commandFd, -1);
}

int ChromiumProcess::takeMessageFd()
{
    return std::exchange(m_messageFd, -1);
}

qint64 ChromiumProcess::processId() const
{
    return m_pid;
}

QString ChromiumProcess::profilePath() const
{
    return m_profile ? m_profile->path() : QString();
}

bool ChromiumProcess::isRunning() const
{
    return m_process->state() != QProcess::NotRunning;
}

void ChromiumProcess::unlinkSingletonSocket()
{
    if (!m_profile)
        return;
    const QString link = QDir(m_profile->path()).filePath(QStringLiteral("SingletonSocket"));
    const QString socket = QFileInfo(link).symLinkTarget();
    if (socket.startsWith(m_profile->path() + QLatin1Char('/')))
        QFile::remove(socket);
    QFile::remove(link);
}

void ChromiumProcess::keepErrorOutput()
{
    // Read as it comes, so that Chromium never blocks on a full pipe; only
    // the end is kept, to say why a browser that could not start stopped.
    connect(m_process, &QProcess::readyReadStandardError, this, [this] {
        m_errorTail += m_process->readAllStandardError();
        if (m_errorTail.size() > ErrorTailBytes)
            m_errorTail.remove(0, m_errorTail.size() - ErrorTailBytes);
    });
}

QString ChromiumProcess::endReason() const
{
    const QString program = QFileInfo(m_executable).fileName();
    QString reason;
    if (isRunning())
        reason = QStringLiteral("%1 closed its connection to this program before it was ready")
                     .arg(program);
    else if (m_process->exitStatus() == QProcess::CrashExit)
        reason = QStringLiteral("%1 crashed before it was ready").arg(program);
    else
        reason = QStringLiteral("%1 stopped before it was ready (exit code %2)")
                     .arg(program)
                     .arg(m_process->exitCode());
    // Its last line of output, without a log line's "[pid:tid:...:file(n)] "
    // prefix.
    const QByteArray tail = m_errorTail + m_process->readAllStandardError();
    QString said;
    const QList<QByteArray> lines = tail.trimmed().split('\n');
    if (!lines.isEmpty())
        said = QString::fromUtf8(lines.constLast()).trimmed();
    if (said.startsWith(QLatin1Char('[')) && said.indexOf(QLatin1String("] ")) > 0)
        said = said.mid(said.indexOf(QLatin1String("] ")) + 2);
    if (said.size() > 300)
        said = said.left(300) + QStringLiteral("...");
    if (!said.isEmpty())
        reason += QStringLiteral(". It said: \"%1\"").arg(said);
    return reason + QLatin1Char('.');
}

void ChromiumProcess::killGroup()
{
    if (m_pid > 0)
        ::kill(static_cast<pid_t>(-m_pid), SIGKILL);
}

void ChromiumProcess::kill()
{
    if (m_killed)
        return;
    m_killed = true;
    closeFd(m_commandFd);
    closeFd(m_messageFd);
    if (m_process->state() == QProcess::NotRunning) {
        QTimer::singleShot(0, this, &ChromiumProcess::finishCleanUp);
        return;
    }
    killGroup();
    m_process->kill();
    QTimer::singleShot(ReapWaitMs, this, &ChromiumProcess::finishCleanUp);
}

void ChromiumProcess::finishCleanUp()
{
    if (m_cleanedUp)
        return;
    // Helpers whose main process died without taking them along.
    killGroup();
    if (m_profile && !m_profile->remove() && ++m_removalAttempts < ProfileRemovalAttempts) {
        // A helper killed a moment ago may still be writing into it.
        QTimer::singleShot(ProfileRemovalIntervalMs, this, &ChromiumProcess::finishCleanUp);
        return;
    }
    m_profile.reset();
    m_cleanedUp = true;
    emit cleanedUp();
}

void ChromiumProcess::stop(std::chrono::milliseconds grace)
{
    if (m_cleanedUp)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        if (!m_process->waitForFinished(static_cast<int>(grace.count()))) {
            killGroup();
            m_process->kill();
            m_process->waitForFinished(2000);
        }
    }
    killGroup();
    m_pid = 0;
    removeProfile();
    m_cleanedUp = true;
}

void ChromiumProcess::removeProfile()
{
    if (!m_profile)
        return;
    // A helper may still be writing into the profile for a moment.
    for (int attempt = 0; attempt < 10 && !m_profile->remove(); ++attempt)
        QThread::msleep(50);
    m_profile.reset();
}

} // namespace snapvel::cdp
