#pragma once

#include <QString>

// Why the relay gave no usable answer.
class RelayError {
public:
    enum class Kind { BadStatus, BadUrl };

    // status is -1 when the answer was not an HTTP response; body is the whole text.
    static RelayError badStatus(int status, QString body) {
        return RelayError(Kind::BadStatus, status, std::move(body));
    }
    static RelayError badUrl() { return RelayError(Kind::BadUrl, 0, {}); }

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }
    const QString& body() const { return m_body; }

    QString errorDescription() const;

private:
    RelayError(Kind kind, int status, QString body)
        : m_kind(kind)
        , m_status(status)
        , m_body(std::move(body)) {}

    Kind m_kind;
    int m_status;
    QString m_body;
};
