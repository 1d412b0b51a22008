#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <utility>

namespace snapvel {

// What kind of failure it was, so that code decides by kind, never by the
// words of the message.
enum class FailureKind
{
    Other,
    Timeout,     // the browser or the page did not answer in time
    BrowserLost, // the browser process stopped or its pipe closed
    PageCrashed, // the page's renderer died, or the page was closed
    TooLarge,    // the picture would not fit in memory
    Cancelled,   // the user (or the caller) stopped it
    Replaced,    // the page's document was replaced while it was worked on
};

// Why an operation failed, in words a user understands.
struct Failure
{
    QString message;
    FailureKind kind = FailureKind::Other;
};

// The value of an operation that can fail, or the failure's description.
template <typename T> class [[nodiscard]] Result
{
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_failure(std::move(failure)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    const T &value() const { return *m_value; }
    T &value() { return *m_value; }
    const T *operator->() const { return &*m_value; }
    T *operator->() { return &*m_value; }

    QString error() const { return m_failure.message; }
    FailureKind kind() const { return m_failure.kind; }
    const Failure &failure() const { return m_failure; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};

// The outcome of an operation that returns nothing but can fail.
class [[nodiscard]] Status
{
public:
    Status() = default;
    Status(Failure failure) : m_failed(true), m_failure(std::move(failure)) {}

    static Status success() { return {}; }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    QString error() const { return m_failure.message; }
    FailureKind kind() const { return m_failure.kind; }
    const Failure &failure() const { return m_failure; }

private:
    bool m_failed = false;
    Failure m_failure;
};

// Receives the outcome of an asynchronous operation. It is called exactly
// once, always later from the event loop and never from inside the call that
// started the operation.
template <typename T> using Done = std::function<void(Result<T>)>;

} // namespace snapvel
