#include "account/GoogleAuthError.h"

#include "account/UserText.h"

QString GoogleAuthError::errorDescription() const {
    switch (m_kind) {
    case Kind::TokenExchangeFailed:
        return QStringLiteral("Google token exchange failed: ") +
               UserText::oneLineExcerpt(m_body, 140);
    case Kind::Cancelled:
        return QStringLiteral("Sign-in cancelled.");
    case Kind::BadCallback:
        return QStringLiteral("Sign-in did not complete.");
    case Kind::NoIdToken:
        return QStringLiteral("Google did not return an ID token.");
    }
    Q_UNREACHABLE();
}
