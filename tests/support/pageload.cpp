#include "support/pageload.h"

#include "platform/browser.h"

#include <QEventLoop>
#include <QTimer>

namespace snapvel::test {

bool loadAndWait(Browser &browser, const QString &address, int timeoutMs)
{
    QEventLoop loop;
    bool completed = false;
    QObject::connect(&browser, &Browser::documentComplete, &loop, [&](bool topLevel) {
        if (topLevel) {
            completed = true;
            loop.quit();
        }
    });
    const Status navigated = browser.navigate(address);
    if (!navigated) {
        qWarning("navigating to %s failed: %s", qPrintable(address), qPrintable(navigated.error()));
        return false;
    }
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!completed)
        qWarning("%s did not complete within %d ms", qPrintable(address), timeoutMs);
    return completed;
}

} // namespace snapvel::test
