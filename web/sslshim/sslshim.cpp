#include <openssl/ssl.h>

// OpenSSL 3 keeps the old name only as a macro.
#undef SSL_get_peer_certificate

// Both hand the caller a reference of its own, which civetweb frees.
extern "C" __attribute__((visibility("default"))) X509* SSL_get_peer_certificate(const SSL* ssl)
{
    return SSL_get1_peer_certificate(ssl);
}
