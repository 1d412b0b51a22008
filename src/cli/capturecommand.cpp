#include "cli/capturecommand.h"

#include "cli/batchrunner.h"
#include "cli/helptext.h"
#include "cli/options.h"
#include "cli/outputplan.h"
#include "cli/progressprinter.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/memory.h"
#include "platform/terminationsignals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <cstdio>
#include <cstring>

namespace snapvel::cli {

namespace {

constexpr int kUsageError = 2;

// What `--version` prints, for the program and its command alike.
int printVersion()
{
    std::printf("snapvel %s\n", SNAPVEL_VERSION);
    return 0;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "snapvel capture: %s\nTry \"snapvel capture --help\".\n",
                 qPrintable(printable(message)));
    return kUsageError;
}

// Runs the batch; returns its exit status.
int capture(const CaptureSettings &settings, const QList<PageOrder> &orders,
            const QElapsedTimer &sinceStart)
{
    ChromiumBrowserOptions options;
    options.layoutViewport = settings.viewport;
    // Navigation is bounded by the page's own timeout.
    options.pageTimeouts.navigate = std::max(options.pageTimeouts.navigate, settings.timeout);
    ChromiumBrowser browser(options);
    if (const Status started = browser.startStatus(); !started) {
        std::fprintf(stderr, "snapvel capture: %s\n", qPrintable(browserStartAdvice(started)));
        return 1;
    }

    ProgressPrinter printer(stderr, ProgressPrinter::isLiveTerminal(stderr), settings.verbosity,
                            int(orders.size()));
    BatchRunner runner(browser, settings, orders, printer);
    QObject::connect(&runner, &BatchRunner::finished, qApp, [] { QCoreApplication::exit(0); });
    // Asked to stop, the batch finishes the files being written and says
    // how far it got; asked again, the program stops at once.
    QPointer<BatchRunner> stoppable = &runner;
    onTerminationSignals(*qApp, [stoppable] {
        if (!stoppable || !stoppable->stop())
            QCoreApplication::exit(0);
    });
    // The pages start once the browser has answered for the first time, so
    // that a page's timeout counts its own load and not the browser's
    // start. A browser that fails to answer is started afresh by the pages.
    QPointer<BatchRunner> starting = &runner;
    browser.countPages([starting, &sinceStart](Result<int>) {
        if (!starting)
            return;
        ProgressPrinter *progress = starting->printer();
        progress->browserStarted(sinceStart.elapsed());
        starting->start();
    });
    QCoreApplication::exec();

    if (!runner.isFinished()) {
        // Stopped a second time while files were being written: they are
        // finished before the program ends, but not counted.
        printer.batchStopped(runner.captured());
        return 1;
    }
    return runner.failed() > 0 || runner.wasStopped() ? 1 : 0;
}

} // namespace

int runCaptureCommand(int argc, char *argv[])
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    // No QGuiApplication: the command never connects to a display.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarvex Snapvel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SNAPVEL_VERSION));

    QFile standardInput;
    (void)standardInput.open(stdin, QIODevice::ReadOnly);
    const ParseContext context{QThread::idealThreadCount(), &standardInput};
    const Result<ParsedCommand> parsed =
        parseCaptureArguments(QCoreApplication::arguments().mid(2), context);
    if (!parsed)
        return usageError(parsed.error());
    switch (parsed->action) {
    case ParsedCommand::Action::Help:
        std::fputs(qPrintable(captureHelpText()), stdout);
        return 0;
    case ParsedCommand::Action::Version:
        return printVersion();
    case ParsedCommand::Action::Capture:
        break;
    }

    CaptureSettings settings = parsed->settings;
    settings.memoryBudget = pictureBudgetFor(settings, availableMemoryBytes());
    const Result<QList<PageOrder>> orders = planPages(settings);
    if (!orders)
        return usageError(orders.error());

    quitOnTerminationSignals(app);
    const int status = capture(settings, orders.value(), sinceStart);
    // Files still being written are finished, so none is left half done.
    QThreadPool::globalInstance()->waitForDone();
    return status;
}

std::optional<int> runProgramOption(int argc, char *argv[])
{
    if (argc != 2)
        return std::nullopt;
    const char *option = argv[1];
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        std::fputs(qPrintable(programHelpText()), stdout);
        return 0;
    }
    if (std::strcmp(option, "--version") == 0)
        return printVersion();
    return std::nullopt;
}

} // namespace snapvel::cli
