#include "app/startupwarning.h"

#include "app/frmmain.h"
#include "platform/browser.h"
#include "platform/uiservices.h"

#include <QTimer>

namespace snapvel {

namespace {

void warn(UiServices &ui, const Status &started)
{
    ui.messageBox(browserStartAdvice(started), ExclamationOk, frmMain::kCaption);
}

} // namespace

void warnWhenBrowserCannotStart(Browser &browser, UiServices &ui, QObject *context)
{
    if (const Status started = browser.startStatus(); !started) {
        QTimer::singleShot(0, context, [&ui, started] { warn(ui, started); });
        return;
    }
    // The first stop says whether it ever started; later ones are the
    // browser's own business (its pages report them).
    QObject::connect(
        &browser, &Browser::stopped, context,
        [&browser, &ui] {
            if (const Status started = browser.startStatus(); !started)
                warn(ui, started);
        },
        Qt::SingleShotConnection);
}

} // namespace snapvel
