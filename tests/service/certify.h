// SPDX-License-Identifier: Apache-2.0
// certify.h -- certificates and keys as the server-key tests need them, made
// with GnuTLS directly rather than with the code under test: the public key
// of a PEM text, a certificate for any public key signed by a throw-away CA
// of the test's own (as an older installation's data.dat was made), and the
// certificate a listener presents in a real handshake.
#ifndef KESTROVAN_TESTS_SERVICE_CERTIFY_H
#define KESTROVAN_TESTS_SERVICE_CERTIFY_H

#include <string>

namespace kt {

// DER SubjectPublicKeyInfo of the first certificate, private key or public
// key in pem; empty when there is none.
std::string publicKeyOf(const std::string& pem);

// A certificate (PEM) for the public key in publicPem (a PEM "PUBLIC KEY" or
// a private key), for 127.0.0.1, ::1 and localhost, valid from an hour ago
// for validDays, signed by a fresh CA whose certificate goes to *caPem. Empty
// on failure.
std::string certificateFor(const std::string& publicPem, long validDays, std::string* caPem);

// The certificate (PEM) the listener at 127.0.0.1 or [::1] on port presents
// in a TLS handshake, trusting nothing; empty when no handshake completed.
std::string servedCertificate(unsigned short port, bool ipv6);

// The raw private scalar of a PEM P-256 private key, without leading zero
// bytes; empty when pem holds no such key.
std::string privateScalarOf(const std::string& pem);

}  // namespace kt

#endif
