// The server side of TLS: one certificate chain and its private key, and the
// settings every encrypted connection shares (protocol versions, ciphers,
// session tickets). Made once at start-up and handed to
// CAsyncSocket::StartTls for every connection that is to be encrypted; it
// must outlive those connections. Free of Qt and of OpenSSL's headers.
#pragma once

#include <string>

struct ssl_ctx_st;

class CTlsContext {
public:
    CTlsContext();
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // Reads the certificate chain (PEM: the server's certificate first, then
    // any intermediates) from `certPath` and its private key (PEM, not
    // password-protected) from `keyPath`. False when either file cannot be
    // read or parsed, or when the key does not belong to the certificate;
    // `error` then holds one line for the operator that names the file. A
    // failed load leaves an earlier successful one in force.
    bool Load(const std::string& certPath, const std::string& keyPath, std::string& error);
    bool IsLoaded() const { return m_pContext != nullptr; }

    // The OpenSSL context for the socket service; null until loaded.
    ssl_ctx_st* Handle() const { return m_pContext; }

private:
    ssl_ctx_st* m_pContext = nullptr;
};
