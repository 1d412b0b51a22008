#include "platform/terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace snapvel {

namespace {

int g_wakeFds[2] = {-1, -1};
std::function<void()> g_handler;

void onSignal(int)
{
    // Only async-signal-safe work here: wake the event loop through a pipe.
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_wakeFds[1], &byte, 1);
}

} // namespace

void onTerminationSignals(QCoreApplication &app, std::function<void()> handler)
{
    g_handler = std::move(handler);
    if (g_wakeFds[0] != -1 || ::pipe2(g_wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_wakeFds[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buffer[16];
        while (::read(g_wakeFds[0], buffer, sizeof buffer) > 0) {
        }
        if (g_handler)
            g_handler();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void quitOnTerminationSignals(QCoreApplication &app)
{
    onTerminationSignals(app, [] { QCoreApplication::exit(0); });
}

} // namespace snapvel
