#pragma once

#include "platform/result.h"

#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace snapvel::test {

// Starts an asynchronous operation and runs the event loop until its Done
// callback has been called, or until the timeout (then a Timeout failure
// that says so). A callback that comes after the timeout is ignored.
template <typename T>
Result<T> waitFor(const std::function<void(Done<T>)> &start, int timeoutMs = 60000)
{
    struct State
    {
        std::optional<Result<T>> result;
        QEventLoop *loop = nullptr;
    };
    const auto state = std::make_shared<State>();
    QEventLoop loop;
    state->loop = &loop;
    start([state](Result<T> result) {
        if (state->result || !state->loop)
            return;
        state->result.emplace(std::move(result));
        state->loop->quit();
    });
    if (!state->result) {
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    state->loop = nullptr;
    if (!state->result)
        return Failure{QStringLiteral("The operation did not end within %1 ms.").arg(timeoutMs),
                       FailureKind::Timeout};
    return std::move(*state->result);
}

} // namespace snapvel::test
