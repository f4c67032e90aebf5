// SPDX-License-Identifier: Apache-2.0
// key.h -- the server certificate (read from the user's home folder) and the
// server's private key: the user's own key file, or, for a certificate from
// an earlier installation, the key carried sealed inside the program.
//
// Why the key is the user's own. The service listens on loopback ports that
// every user of the machine shares. A key compiled into the program is the
// same in every installation of a build and can be opened by anyone who can
// run a copy of the program; another local user could then fetch this
// user's certificate from any handshake, run that copy on the ports while
// this user's service is down, and be trusted as this user's service by this
// user's browser (and be sent a PIN). So the provisioning command makes each
// user a fresh EC P-256 key, $HOME/NORTAKestrovan/key.pem (mode 0600 in the
// 0700 folder), and has the user's own throw-away local CA certify it; the
// service opens that file, trusting it only when it belongs to this user and
// nobody else may read it. The certificate in data.dat then names a key no
// other user can read, so a copy of the program run by someone else has no
// key the user's CA vouches for.
//
// The sealed key is kept for one case only: a data.dat from an earlier
// installation that certifies it. The service then still starts, with a
// warning line asking the user to provision again; the provisioning command
// replaces such a certificate (and makes the key file) on its next run,
// which the user unit does before every start. Residual risk: until then,
// and for as long as a client still trusts the CA that signed such an older
// certificate, another local user who runs a copy of the program can answer
// for this user, exactly as before. The sealed key is no secret from anyone
// who can read the program; it protects nothing once a user has provisioned
// again, since that user's CA never certifies it.
#ifndef KESTROVAN_SERVICE_KEY_H
#define KESTROVAN_SERVICE_KEY_H

#include <optional>
#include <string>

// Appends the file's content to out, less every carriage return. 0 when the
// file was read, -1 when it cannot be opened.
int KestrovanReadFile(const char* path, std::string& out);

// The certificate text at path (printed once), or none when it cannot be read.
std::optional<std::string> KestrovanParseCert(const char* path);

// The private key for the certificate cert, as PEM text, or null. folder is
// the user's $HOME/NORTAKestrovan. When cert certifies the key built into the
// program, that key (with a warning line); otherwise folder/key.pem, read
// with KestrovanKeyFile_read, an error line saying why when it is refused.
// A key file that cert does not certify is returned with a warning line (the
// listeners then refuse the pair). Release the result with freeKey.
char* getKey(const char* folder, const std::string& cert);
// Wipes and frees what getKey returned; null is fine.
void freeKey(char* key);

// The key built into the program, opened (PEM text), or null. Release with
// freeKey.
char* KestrovanKey_openBuiltIn();

// The opening key of the sealed block as 64 hexadecimal characters, rebuilt
// from the obfuscated table; null when it cannot be made (no memory, or the
// process was paused while it was being rebuilt). Release with freeSecret.
char* KestrovanKeyGuard_openingKey();

#endif
