// Unguessable URL-safe tokens for session ids, CSRF tokens, tickets and client ids.
#pragma once

#include <cstddef>
#include <string>

// byteCount random bytes in base64url without padding.
std::string randomToken(std::size_t byteCount = 32);
