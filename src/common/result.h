#pragma once

#include <QString>
#include <optional>
#include <utility>

namespace osk {

// The one result style at module boundaries: a value, or the error's description as the
// operator is to read it. No exception crosses a module boundary.
template <typename T> class [[nodiscard]] Result final {
public:
    Result(T value)
        : m_value(std::move(value)) {}
    static Result failure(QString error) { return Result(std::nullopt, std::move(error)); }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const T& operator*() const& { return *m_value; }
    const T* operator->() const { return &*m_value; }
    const QString& error() const { return m_error; }

private:
    Result(std::nullopt_t, QString error)
        : m_error(std::move(error)) {}
    std::optional<T> m_value;
    QString m_error;
};

template <> class [[nodiscard]] Result<void> final {
public:
    Result() = default;
    static Result failure(QString error) {
        Result r;
        r.m_failed = true;
        r.m_error = std::move(error);
        return r;
    }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const QString& error() const { return m_error; }

private:
    bool m_failed = false;
    QString m_error;
};

using Status = Result<void>;

} // namespace osk
