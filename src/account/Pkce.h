#pragma once

#include <QString>

// Proof Key for Code Exchange (RFC 7636, method S256).
namespace Pkce {

// count secure random bytes as Base64url without padding.
QString randomUrlSafe(int count);

// A fresh verifier: 64 random bytes, 86 characters.
QString makeVerifier();

// Base64url without padding of SHA-256 over the verifier's UTF-8 bytes: 43 characters.
QString codeChallenge(const QString& verifier);

} // namespace Pkce
