#include "support/pageload.h"

#include "platform/browser.h"

#include <QEventLoop>
#include <QTimer>

namespace snapvel::test {

bool loadAndWait(Page &page, const QString &address, int timeoutMs)
{
    QEventLoop loop;
    bool completed = false;
    QString lostWhy;
    QObject::connect(&page, &Page::documentComplete, &loop, [&](bool topLevel) {
        if (topLevel) {
            completed = true;
            loop.quit();
        }
    });
    QObject::connect(&page, &Page::lost, &loop, [&](const Failure &why) {
        lostWhy = why.message;
        loop.quit();
    });
    const Status navigated = page.navigate(address);
    if (!navigated) {
        qWarning("navigating to %s failed: %s", qPrintable(address), qPrintable(navigated.error()));
        return false;
    }
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!lostWhy.isEmpty())
        qWarning("%s was lost while loading: %s", qPrintable(address), qPrintable(lostWhy));
    else if (!completed)
        qWarning("%s did not complete within %d ms", qPrintable(address), timeoutMs);
    return completed;
}

} // namespace snapvel::test
