// Tarvex Snapvel: turns a web page into one full-length picture.
#include "app/frmmain.h"
#include "app/startupwarning.h"
#include "cli/capturecommand.h"
#include "loading/commandlineaddress.h"
#include "platform/cdp/chromiumbrowser.h"
#include "platform/qtuiservices.h"
#include "platform/terminationsignals.h"
#include "platform/transientusersettings.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool hasDisplay()
{
    const auto set = [](const char *name) {
        const char *value = std::getenv(name);
        return value && *value;
    };
    // An explicitly chosen Qt platform (offscreen, vnc, ...) needs no display.
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

} // namespace

int main(int argc, char *argv[])
{
    // The command captures without a window, so it needs no display.
    if (argc > 1 && std::strcmp(argv[1], "capture") == 0)
        return snapvel::cli::runCaptureCommand(argc, argv);
    if (const std::optional<int> status = snapvel::cli::runProgramOption(argc, argv))
        return *status;

    if (!hasDisplay()) {
        std::fprintf(stderr, "snapvel: no display found (neither DISPLAY nor WAYLAND_DISPLAY is "
                             "set); start Tarvex Snapvel from a desktop session, or capture "
                             "to a file without a window: snapvel capture ADDRESS -o FILE "
                             "(see snapvel capture --help).\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvex Snapvel"));
    snapvel::quitOnTerminationSignals(app);
    // Outlives every dialog: what Qt's dialogs remember goes with the program.
    const snapvel::TransientUserSettings userSettings;

    snapvel::ChromiumBrowser browser;
    snapvel::QtUiServices ui;
    snapvel::frmMain form(browser, ui, [] { QCoreApplication::exit(0); });
    ui.setParentWindow(&form);
    form.setOfferedAddress(snapvel::addressFromCommandLine(QCoreApplication::arguments()));
    // Captures are large: the window fills the screen, also where no window
    // manager is there to maximise it.
    form.setGeometry(QGuiApplication::primaryScreen()->availableGeometry());
    form.showMaximized();

    snapvel::warnWhenBrowserCannotStart(browser, ui, &form);
    // Leaving the loop destroys the window, then the browser: Chromium is
    // closed and its profile deleted.
    return app.exec();
}
