// helm.h -- HelmPKICryptAdapter, the PKI adapter the service ships in its
// "NORTA" folder: lists the user's signing certificates (PKCS #11 tokens
// through GnuTLS and p11-kit, PKCS #12 files in a per-user folder), returns a
// certificate, signs (CMS SignedData and raw signatures), verifies CMS against
// given trust anchors, and hashes. Every page answer is a JSON object whose
// "code" is 0 or one of the codes below, with "message" on failure.
//
// This header owns the adapter's result codes and the interfaces between its
// files. It is built from the adapter SDK (include/kestrovan/adapter.h and
// adapter_params.h, whose reads kestrovan_add_adapter links in) and GnuTLS.
#ifndef KESTROVAN_ADAPTERS_HELM_H
#define KESTROVAN_ADAPTERS_HELM_H

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstddef>
#include <string>
#include <vector>

#include "kestrovan/adapter.h"

#define HELM_VERSION "1.0.0.1"

// Result codes. Stable: pages and their libraries branch on them. They lie
// outside 61000..61999, which the service reserves for its own codes.
enum HelmCode {
  HELM_OK = 0,
  HELM_E_BAD_PARAMETER = 71001,          // missing, malformed or out-of-range parameter
  HELM_E_UNKNOWN_FUNCTION = 71002,       // "FunctionName" names no function of this adapter
  HELM_E_UNKNOWN_CERTIFICATE = 71003,    // no certificate with this id (or it no longer matches its key)
  HELM_E_WRONG_PIN = 71004,              // wrong token PIN or PKCS #12 password
  HELM_E_TOKEN_LOCKED = 71005,           // the token's user PIN is locked
  HELM_E_CERTIFICATE_EXPIRED = 71006,    // the signer certificate's validity has ended
  HELM_E_CERTIFICATE_NOT_YET_VALID = 71007,
  HELM_E_KEY_USAGE = 71008,              // key usage allows neither digitalSignature nor nonRepudiation
  HELM_E_PKCS12_UNREADABLE = 71009,      // a PKCS #12 file cannot be read or parsed
  HELM_E_TOKEN = 71010,                  // token missing or failing
  HELM_E_KEY_NOT_FOUND = 71011,          // no private key belongs to the certificate
  HELM_E_SIGNING_FAILED = 71012,
  HELM_E_SIGNATURE_INVALID = 71013,      // CMS signature does not match the data
  HELM_E_SIGNER_UNTRUSTED = 71014,       // signer does not chain to the given trust anchors
  HELM_E_CMS_MALFORMED = 71015,
  HELM_E_ORIGIN_REFUSED = 71016,         // origin not on the user's allow-list (unlock)
  HELM_E_TOO_LARGE = 71017,
  HELM_E_UNSUPPORTED = 71018,            // algorithm or scheme not supported
  HELM_E_INTERNAL = 71019,               // out of memory or an unexpected library failure
};

// Limits, checked before anything is allocated or decoded.
#define HELM_MAX_DATA_BYTES (16u * 1024u * 1024u)   // data to sign, verify or hash
#define HELM_MAX_CMS_BYTES (16u * 1024u * 1024u)
#define HELM_MAX_TEXT_BYTES (1024u * 1024u)         // text parameters (PEM bundles)
#define HELM_MAX_PIN_BYTES 256u
#define HELM_MAX_ID_BYTES 128u
#define HELM_MAX_PKCS12_BYTES (1024u * 1024u)
#define HELM_MAX_PKCS12_FILES 256
#define HELM_MAX_TOKEN_CERTIFICATES 1024
#define HELM_MAX_ALLOWLIST_BYTES (64u * 1024u)

// ---- bytes and secrets ------------------------------------------------------

// Overwrites n bytes in a way the compiler cannot drop (GnuTLS's memset).
void Helm_Wipe(void* data, size_t n);
// Wipes a vector's bytes (its whole capacity) and empties it.
void Helm_WipeVector(std::vector<unsigned char>* bytes);
void Helm_WipeString(std::string* text);

// ---- JSON answers (json.cpp) -------------------------------------------------

// Appends text as a JSON string (quotes included): quote, backslash and
// control characters escaped; bytes that are not UTF-8 become U+FFFD.
void HelmJson_AppendString(std::string* out, const char* text, size_t length);
void HelmJson_AppendString(std::string* out, const std::string& text);
// "{"code":<code>,"message":"<message>"}".
std::string HelmJson_Error(int code, const std::string& message);
// Standard Base64 of bytes (no line breaks).
std::string HelmJson_Base64(const unsigned char* data, size_t length);
std::string HelmJson_Hex(const unsigned char* data, size_t length, bool separators);
// "2026-12-10T06:30:00Z"; "" for (time_t)-1.
std::string HelmJson_Time(time_t when);

// ---- parameters (params.cpp) -------------------------------------------------
// The adapter receives the service's map as the page sent it: a parameter's
// companion flags ("<key>_KestrovanBase64Flag" and the others) are not yet
// applied. These reads apply them through kestrovan/adapter_params.h, which
// refuses a value that does not decode rather than using it as sent.

// The unit whose key equals key ignoring ASCII case, or null.
const KestrovanJsonUnit* HelmParams_Find(const KestrovanJsonMap* map, const char* key);

// Reads a byte input: Base64 text with the parameter's Base64 flag on (the
// decoded bytes may hold any value, zero included), a sealed text with its
// encrypt flag on, or a plain text without backslashes, taken as its UTF-8
// bytes. present is false (and HELM_OK
// returned) when the key is absent.
int HelmParams_Bytes(const KestrovanJsonMap* map, const char* key, size_t maxBytes,
                     std::vector<unsigned char>* out, bool* present, std::string* message);
// Reads a text input, decoding it when one of its flags is on. A text may not
// hold a zero byte. present as above.
int HelmParams_Text(const KestrovanJsonMap* map, const char* key, size_t maxBytes, std::string* out,
                    bool* present, std::string* message);
// A boolean input: absent gives fallback; "true"/"false" (any case) decide;
// anything else is a bad parameter.
int HelmParams_Bool(const KestrovanJsonMap* map, const char* key, bool fallback, bool* out,
                    std::string* message);

// ---- user folders and the origin allow-list (origins.cpp) --------------------

// "$XDG_CONFIG_HOME/kestrovan/helm" when that variable holds an absolute
// path, else "$HOME/.config/kestrovan/helm" (HOME from the password database
// when unset). Empty when no home folder can be found.
std::string HelmPaths_ConfigFolder();
std::string HelmPaths_AllowListFile();   // <config folder>/allowed-origins
std::string HelmPaths_KeyFolder();       // <config folder>/keys

// A page origin taken apart: lower-case scheme and host, and the port (the
// scheme's default when the origin names none).
struct HelmOrigin {
  char scheme[8];
  char host[256];
  unsigned port;
};
// Accepts exactly "http(s)://host[:port]" with an optional single "/": host a
// DNS name, a dotted IPv4 address or a bracketed IPv6 address.
bool HelmOrigins_Parse(const char* origin, HelmOrigin* out);
// Whether one allow-list pattern (trimmed, without separators) admits it.
bool HelmOrigins_PatternAdmits(const char* pattern, size_t length, const HelmOrigin* origin);
// Whether any pattern of a list text (patterns separated by ";" or line
// breaks, "#" starting a comment) admits the origin.
bool HelmOrigins_ListAdmits(const char* listText, size_t length, const char* origin);
// Reads the user's allow-list file and checks the origin: HELM_OK or
// HELM_E_ORIGIN_REFUSED with the reason in message.
int HelmOrigins_Check(const char* origin, std::string* message);

// ---- certificate store (store.cpp) ------------------------------------------

enum HelmLocationKind { HELM_LOCATION_PKCS11, HELM_LOCATION_PKCS12 };

struct HelmCertificate {
  HelmLocationKind kind;
  std::string id;                       // "tok-" or "p12-" and the certificate's SHA-256, hex
  std::vector<unsigned char> der;       // the certificate
  // PKCS #11: the token and the certificate object's CKA_ID and label.
  std::string tokenUrl;
  std::string tokenLabel;
  std::vector<unsigned char> objectId;
  std::string objectLabel;
  // PKCS #12: the file (the certificate came from the file itself or from a
  // sidecar certificate file next to it).
  std::string file;
};

// A source that could not be read while listing (a token that fails, a
// PKCS #12 file that cannot be parsed); listing goes on without it.
struct HelmProblem {
  std::string location;
  int code;
  std::string message;
};

// Every end-entity certificate on the user's tokens and in the key folder.
// Fails only when memory runs out.
int HelmStore_List(std::vector<HelmCertificate>* certificates, std::vector<HelmProblem>* problems);
// The certificate with this id: HELM_OK or HELM_E_UNKNOWN_CERTIFICATE.
int HelmStore_Find(const std::string& id, HelmCertificate* out);

// An opened signing key: the private key (on its token, or decrypted from a
// PKCS #12 file for this one operation) and its certificate. Close it with
// HelmKey_Close, which releases (and so wipes) the key. The HelmKey must stay
// where it is while open (the token's PIN requests point into it).
struct HelmKey {
  gnutls_privkey_t key;
  gnutls_x509_crt_t certificate;
  int lock;                          // per-user token lock while a token key is open, or -1
  unsigned pinCalls;                 // PIN requests the token made
  char pin[HELM_MAX_PIN_BYTES + 1];  // for keys that ask before every use; wiped on close
};
// Checks validity and key usage first (no PIN is spent on a certificate that
// cannot sign), then logs in or decrypts with the PIN. Codes: wrong PIN,
// locked token, expired, not yet valid, key usage, unreadable PKCS #12, key
// not found, token failure.
int HelmKey_Open(const HelmCertificate* certificate, const char* pin, HelmKey* out, std::string* message);
void HelmKey_Close(HelmKey* key);
// An empty key, safe to close.
void HelmKey_Init(HelmKey* key);

// Certificate details as JSON members, without braces:
// "subject":...,"issuer":...,"serial":...,"notBefore":...,...
void HelmCertificate_AppendDetails(std::string* out, gnutls_x509_crt_t certificate, time_t now);
// Whether a certificate may sign now: HELM_OK, or the expiry, not-yet-valid or
// key-usage code with message.
int HelmCertificate_CheckSigning(gnutls_x509_crt_t certificate, time_t now, std::string* message);
// The PEM text of a certificate.
int HelmCertificate_Pem(const std::vector<unsigned char>& der, std::string* pem);

// ---- the page functions (functions.cpp) --------------------------------------

// Each returns the JSON answer for the page.
std::string HelmFunction_ListCertificates(const KestrovanJsonMap* map);
std::string HelmFunction_GetCertificate(const KestrovanJsonMap* map);
std::string HelmFunction_SignCms(const KestrovanJsonMap* map);
std::string HelmFunction_SignRaw(const KestrovanJsonMap* map);
std::string HelmFunction_VerifyCms(const KestrovanJsonMap* map);
std::string HelmFunction_Hash(const KestrovanJsonMap* map);
std::string HelmFunction_GetInfo(const KestrovanJsonMap* map);

#endif
