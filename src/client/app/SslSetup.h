// TLS set-up: completes the "openSSL." configuration that POCO's SSL
// manager reads (defaults of the TLS table, client keys taken from their
// server twins), imports the system's trusted certificates into the default
// client context and makes sure no certificate or key handler ever prompts
// on the console.
#pragma once

#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

// Once during start-up; false (logged) after an exception.
bool setupSsl();

// Adds the certificates of one system store ("ROOT" or "CA") to the
// certificate store of the OpenSSL context.
void importSystemCertStore(SSL_CTX* context, const std::string& storeName);

// Platform part: the certificates of a system store as DER texts; false
// when the store cannot be opened.
bool readSystemCertStore(const std::string& storeName, std::vector<std::string>& derCertificates);
// Where the stores are: the CA bundle ("ROOT") and the CA folder ("CA").
void setSystemCertStoreLocations(const std::string& bundleFile, const std::string& certificateDirectory);
