#include "account/RelayError.h"

#include "account/UserText.h"

QString RelayError::errorDescription() const {
    if (m_kind == Kind::BadUrl) {
        return QStringLiteral("Bad relay URL.");
    }
    return QStringLiteral("Relay sign-in failed (%1): ").arg(m_status) +
           UserText::oneLineExcerpt(m_body, 160);
}
