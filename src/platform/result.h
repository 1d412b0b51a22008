#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace snapvel {

// Why an operation failed, in words a user understands.
struct Failure
{
    QString message;
};

// The value of an operation that can fail, or the failure's description.
template <typename T> class Result
{
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_error(std::move(failure.message)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    const T &value() const { return *m_value; }
    T &value() { return *m_value; }
    const T *operator->() const { return &*m_value; }
    T *operator->() { return &*m_value; }

    QString error() const { return m_error; }

private:
    std::optional<T> m_value;
    QString m_error;
};

// The outcome of an operation that returns nothing but can fail.
class Status
{
public:
    Status() = default;
    Status(Failure failure) : m_failed(true), m_error(std::move(failure.message)) {}

    static Status success() { return {}; }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    QString error() const { return m_error; }

private:
    bool m_failed = false;
    QString m_error;
};

} // namespace snapvel
