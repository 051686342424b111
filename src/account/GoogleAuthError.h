#pragma once

#include <QString>

// Why a Google sign-in ended without an ID token.
class GoogleAuthError {
public:
    enum class Kind { TokenExchangeFailed, Cancelled, BadCallback, NoIdToken };

    static GoogleAuthError tokenExchangeFailed(QString body) {
        return GoogleAuthError(Kind::TokenExchangeFailed, std::move(body));
    }
    static GoogleAuthError cancelled() { return GoogleAuthError(Kind::Cancelled); }
    static GoogleAuthError badCallback() { return GoogleAuthError(Kind::BadCallback); }
    static GoogleAuthError noIdToken() { return GoogleAuthError(Kind::NoIdToken); }

    Kind kind() const { return m_kind; }
    // The token endpoint's whole answer, for tokenExchangeFailed.
    const QString& body() const { return m_body; }

    QString errorDescription() const;

private:
    explicit GoogleAuthError(Kind kind, QString body = {})
        : m_kind(kind)
        , m_body(std::move(body)) {}

    Kind m_kind;
    QString m_body;
};
