#include "fakes/runjob.h"

#include <QEventLoop>
#include <QTimer>

namespace snapvel::test {

Result<QImage> runToEnd(CaptureJob &job, std::chrono::milliseconds timeout)
{
    std::optional<Result<QImage>> outcome;
    QEventLoop loop;
    QObject::connect(&job, &CaptureJob::taken, &loop, [&](const QImage &taken) {
        outcome.emplace(taken);
        loop.quit();
    });
    QObject::connect(&job, &CaptureJob::failed, &loop, [&](const Failure &why) {
        outcome.emplace(why);
        loop.quit();
    });
    QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return outcome ? *outcome : Result<QImage>(Failure{QStringLiteral("The capture did not end.")});
}

} // namespace snapvel::test
