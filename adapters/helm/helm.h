// SPDX-License-Identifier: Apache-2.0
// helm.h -- HelmPKICryptAdapter, the PKI adapter the service ships in its
// "NORTA" folder: lists the user's signing certificates (PKCS #11 tokens
// through GnuTLS and p11-kit, PKCS #12 files in a per-user folder), returns a
// certificate, signs (CMS SignedData at baseline levels, and raw
// signatures), authenticates the user to the asking site (a signature bound
// to its origin and challenge), raises and verifies CMS signatures, and
// hashes. Every page answer is
// a JSON object whose "code" is 0 or one of the codes below, with "message"
// on failure.
//
// The user stays in the loop through native dialogs (pinentry, spoken to
// with libassuan): a site not yet on the allow-list is asked about at unlock,
// and the PIN comes from a dialog that names the site, not from the page.
//
// This header owns the adapter's result codes and the interfaces between its
// files. It is built from the adapter SDK (include/kestrovan/adapter.h and
// adapter_params.h, whose reads kestrovan_add_adapter links in), GnuTLS,
// libassuan, OpenSSL's libcrypto (CMS, timestamps, OCSP) and libcurl.
//
// State and locks. Every loaded copy serves one session and is called from
// one thread at a time: its statics (the unlocked origin, the last answer)
// need no lock. What copies share goes through per-user lock files in the
// configuration folder, which also order copies in different processes:
// "token.lock" (every use of the tokens, store.cpp), "dialog.lock" (one
// dialog on the screen at a time, dialog.cpp and program.cpp), "allowed-origins.lock"
// (changes to the allow-list, consent.cpp) and "denied-origins.lock" (the
// run's denied and pending sites, denials.cpp). Order: dialog, then token;
// the allow-list and denial locks are taken alone.
#ifndef KESTROVAN_ADAPTERS_HELM_H
#define KESTROVAN_ADAPTERS_HELM_H

#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <sys/types.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kestrovan/adapter.h"
#include "kestrovan/adapter_files.h"
#include "kestrovan/adapter_origins.h"

#define HELM_VERSION "1.0.0.2"

// Result codes. Stable: pages and their libraries branch on them. They lie
// outside 61000..61999, which the service reserves for its own codes.
enum HelmCode {
  HELM_OK = 0,
  // page OK
  HELM_E_BAD_PARAMETER = 71001,          // missing, malformed or out-of-range parameter
  // page BAD_PARAMETER, BadParameter: A parameter is missing or malformed.
  HELM_E_UNKNOWN_FUNCTION = 71002,       // "FunctionName" names no function of this adapter
  // page UNKNOWN_FUNCTION, UnknownFunction: The PKI adapter has no such function.
  HELM_E_UNKNOWN_CERTIFICATE = 71003,    // no certificate with this id (or it no longer matches its key)
  // page UNKNOWN_CERTIFICATE, UnknownCertificate: No certificate with this id: list the certificates again.
  HELM_E_WRONG_PIN = 71004,              // wrong token PIN or PKCS #12 password
  // page WRONG_PIN, WrongPin: The PIN (or the key file's password) was wrong.
  HELM_E_TOKEN_LOCKED = 71005,           // the token's user PIN is locked
  // page TOKEN_LOCKED, TokenLocked: The token's PIN is locked: it must be unlocked with its administrator PIN.
  HELM_E_CERTIFICATE_EXPIRED = 71006,    // the signer certificate's validity has ended
  // page CERTIFICATE_EXPIRED, CertificateExpired: The certificate has expired.
  HELM_E_CERTIFICATE_NOT_YET_VALID = 71007,
  // page CERTIFICATE_NOT_YET_VALID, CertificateNotYetValid: The certificate is not valid yet.
  HELM_E_KEY_USAGE = 71008,              // key usage allows neither digitalSignature nor nonRepudiation
  // page KEY_USAGE, KeyUsage: The certificate is not meant for this use.
  HELM_E_PKCS12_UNREADABLE = 71009,      // a PKCS #12 file cannot be read or parsed
  // page PKCS12_UNREADABLE, Pkcs12Unreadable: A key file cannot be read.
  HELM_E_TOKEN = 71010,                  // token missing or failing
  // page TOKEN, TokenFailure: The token is missing or not working (or in use by another program).
  HELM_E_KEY_NOT_FOUND = 71011,          // no private key belongs to the certificate
  // page KEY_NOT_FOUND, KeyNotFound: No private key belongs to this certificate.
  HELM_E_SIGNING_FAILED = 71012,
  // page SIGNING_FAILED, SigningFailed: Signing failed.
  HELM_E_SIGNATURE_INVALID = 71013,      // CMS signature does not match the data
  // page SIGNATURE_INVALID, SignatureInvalid: The signature does not match the data.
  HELM_E_SIGNER_UNTRUSTED = 71014,       // signer does not chain to the given trust anchors
  // page SIGNER_UNTRUSTED, SignerUntrusted: The signer does not chain to the given trust anchors.
  HELM_E_CMS_MALFORMED = 71015,
  // page CMS_MALFORMED, CmsMalformed: This is not a CMS signature.
  HELM_E_ORIGIN_REFUSED = 71016,         // origin not on the user's allow-list (unlock)
  // page ORIGIN_NOT_ALLOWED, OriginNotAllowed: This site may not use the certificates: the user denied it, did not
  //   answer, or no dialog could ask.
  HELM_E_TOO_LARGE = 71017,
  // page TOO_LARGE, TooLarge: An input is too large.
  HELM_E_UNSUPPORTED = 71018,            // algorithm or scheme not supported
  // page UNSUPPORTED, Unsupported: The algorithm or scheme is not supported.
  HELM_E_INTERNAL = 71019,               // out of memory or an unexpected library failure
  // page INTERNAL, AdapterInternal: The PKI adapter failed (out of memory).
  HELM_E_PAGE_PIN_REFUSED = 71020,       // the page sent a PIN, and no setting lets this origin do so
  // page PAGE_PIN_REFUSED, PagePinRefused: This site may not send the PIN: leave it out and the user types it in a
  //   dialog.
  HELM_E_CANCELLED = 71021,              // the user cancelled the dialog, closed it or let it time out
  // page CANCELLED, Cancelled: The user cancelled the dialog (or let it time out).
  HELM_E_NO_DIALOG = 71022,              // no dialog can be shown (no display, no usable pinentry)
  // page NO_DIALOG, NoDialog: No dialog can be shown on this computer to ask the user (no graphical session or no
  //   pinentry program).
  HELM_E_NOT_FOR_SIGNING = 71023,        // an authentication key: it signs nothing a site chooses
  // page NOT_FOR_SIGNING, NotForSigning: This certificate is for logging in, not for signing: choose a signing
  //   certificate.
  HELM_E_NOT_FOR_AUTHENTICATION = 71024, // a signing key: it never logs in
  // page NOT_FOR_AUTHENTICATION, NotForAuthentication: This certificate is for signing, not for logging in: choose a
  //   certificate for logging in.
  // Signature levels (cades.cpp, timestamp.cpp). A level asked for and not
  // reached is one of these, never a signature of a lower level.
  HELM_E_LEVEL_NOT_REACHED = 71030,      // the level needs something this signature cannot have
  // page LEVEL_NOT_REACHED, LevelNotReached: The signature level asked for cannot be reached.
  HELM_E_TSA_NOT_CONFIGURED = 71031,     // a timestamp is needed and the settings name no authority
  // page TSA_NOT_CONFIGURED, TsaNotConfigured: A timestamp is needed and no timestamp authority is set up.
  HELM_E_TSA_UNREACHABLE = 71032,        // no authority answered (network, timeout, HTTP error, size)
  // page TSA_UNREACHABLE, TsaUnreachable: No timestamp authority answered.
  HELM_E_TSA_REJECTED = 71033,           // the authority answered with a status other than granted
  // page TSA_REJECTED, TsaRejected: The timestamp authority refused the request.
  HELM_E_TSA_INVALID = 71034,            // the token fails a check: imprint, nonce, signature, chain, EKU
  // page TSA_INVALID, TsaInvalid: The timestamp authority's answer failed its checks.
  HELM_E_SIGNER_REVOKED = 71035,         // VerifyCms: a chain certificate was revoked, and nothing proves the
                                         // signature existed before
  // page SIGNER_REVOKED, SignerRevoked: A certificate of the signer was revoked, and nothing proves the signature was
  //   made before.
  HELM_E_REVOCATION_UNKNOWN = 71036,     // VerifyCms: a certificate names revocation services and none answered
  // page REVOCATION_UNKNOWN, RevocationUnknown: Whether the signer's certificate was revoked cannot be learnt now:
  //   try again later.
  HELM_E_USE_SELECT_CERTIFICATE = 71050, // ListCertificates is for the sites "list-origins" names
  // page USE_SELECT_CERTIFICATE, UseSelectCertificate: This site may not list the certificates: let the user choose
  //   one (selectCertificate).
  HELM_E_NOT_CHOSEN = 71051,             // the user did not choose this certificate for the site
  // page NOT_CHOSEN, NotChosen: The user did not choose this certificate for this site: let the user choose one
  //   (selectCertificate).
  HELM_E_BATCH_TOO_LARGE = 71052,        // more documents (or bytes) than one batch may hold
  // page BATCH_TOO_LARGE, BatchTooLarge: Too many documents (or bytes) for one batch: split it.
  HELM_E_PIN_PER_SIGNATURE = 71053,      // the key wants its PIN for every signature: sign one by one
  // page PIN_PER_SIGNATURE, PinPerSignature: This key asks for its PIN before every signature: sign these documents
  //   one by one.
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
#define HELM_MAX_ALLOWLIST_BYTES KESTROVAN_ALLOW_LIST_LONGEST
#define HELM_MAX_SETTINGS_BYTES (64u * 1024u)
#define HELM_DIALOG_SITE_BYTES 120u                  // a site as dialogs show it
#define HELM_MAX_DESCRIPTION_BYTES 4096u             // what the page says it is signing (shown cut)
#define HELM_MIN_CHALLENGE_BYTES 32u
#define HELM_MAX_CHALLENGE_BYTES 1024u
// A batch: each document is a line of its own in one dialog the user reads
// before typing the PIN, and a hundred is what a person still checks; the
// data of all of them together stays within one signing's limit.
#define HELM_MAX_BATCH_DOCUMENTS 100u
#define HELM_MAX_BATCH_BYTES HELM_MAX_DATA_BYTES
#define HELM_MAX_DOCUMENT_NAME_BYTES 256u

// ---- bytes and secrets ------------------------------------------------------

// Length of the well-formed UTF-8 sequence at p (at most n bytes), 0 if none.
size_t Helm_Utf8Sequence(const unsigned char* p, size_t n);
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
// A GnuTLS datum over the bytes, not a copy (x509.cpp).
gnutls_datum_t HelmStore_Datum(const std::vector<unsigned char>& bytes);
// Appends "name":value to a list of members (a comma first when out is not
// empty): value as a JSON string, or json as it is.
void HelmJson_Member(std::string* out, const char* name, const std::string& value);
void HelmJson_MemberRaw(std::string* out, const char* name, const std::string& json);
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

// ---- the user's files (files.cpp) --------------------------------------------

// What HelmFiles_Read found: the SDK's KESTROVAN_FILE_* (kestrovan/adapter_files.h).
enum {
  HELM_FILE_READ = KESTROVAN_FILE_READ,                // *bytes holds the whole file
  HELM_FILE_CANNOT_OPEN = KESTROVAN_FILE_CANNOT_OPEN,  // open failed (*error is its errno); a missing file too
  HELM_FILE_NOT_REGULAR = KESTROVAN_FILE_NOT_REGULAR,
  HELM_FILE_NOT_OWN = KESTROVAN_FILE_NOT_OWN,          // not owner's, or group or others may write it
  HELM_FILE_TOO_LARGE = KESTROVAN_FILE_TOO_LARGE,      // more than maxBytes
  HELM_FILE_CANNOT_READ = KESTROVAN_FILE_CANNOT_READ,  // a read failed (*error is its errno)
  HELM_FILE_NO_MEMORY = KESTROVAN_FILE_NO_MEMORY,
};
// Reads a whole regular file of at most maxBytes, and, when owner is not
// null, only one of owner that group and others cannot write
// (KestrovanFile_Read). Returns HELM_FILE_*; *bytes is empty unless
// HELM_FILE_READ.
int HelmFiles_Read(const std::string& path, size_t maxBytes, const uid_t* owner, std::string* bytes, int* error);
// Reads a whole file only when it is a regular file of owner that group and
// others cannot write, of at most maxBytes: true with its text. A missing
// file is not an error: true with *exists false and no text. Otherwise false
// with the reason in *problem.
bool HelmFiles_ReadOwn(const std::string& path, uid_t owner, size_t maxBytes, std::string* text, bool* exists,
                       std::string* problem);
// The line of text that starts at *at, without its line break and split at
// its first "#" into line and comment (which keeps the "#"); *at moves past
// it. False at the end of the text.
bool HelmFiles_NextLine(const std::string& text, size_t* at, std::string* line, std::string* comment);
// text without leading and trailing blanks, tabs and CRs.
std::string HelmFiles_Trim(const std::string& text);
// Opens (creating the configuration folder, 0700, and the file, 0600) the
// per-user lock file name and locks it: without end when waitMs is
// negative, else for up to waitMs milliseconds. The descriptor, or -1.
int HelmLock_Take(const char* name, int waitMs);
// The same, giving up (-1) when giveUp(opaque), asked every quarter second
// of the wait, says so.
int HelmLock_TakeUnless(const char* name, int waitMs, bool (*giveUp)(void*), void* opaque);
void HelmLock_Release(int fd);

// ---- user folders (paths.cpp) ------------------------------------------------

// "$XDG_CONFIG_HOME/kestrovan/helm" when that variable holds an absolute
// path, else "$HOME/.config/kestrovan/helm" (HOME from the password database
// when unset): KestrovanFile_ConfigFolder's. Empty when no home folder can be
// found.
std::string HelmPaths_ConfigFolder();
std::string HelmPaths_AllowListFile();   // <config folder>/allowed-origins
std::string HelmPaths_KeyFolder();       // <config folder>/keys

// ---- the origin allow-list (origins.cpp) --------------------------------------
// The grammar is the SDK's (kestrovan/adapter_origins.h), which the doctor
// reads lists with too.

// A page origin taken apart (kestrovan/adapter_origins.h).
typedef KestrovanOrigin HelmOrigin;
// Accepts exactly "http(s)://host[:port]" with an optional single "/": host a
// DNS name, a dotted IPv4 address or a bracketed IPv6 address.
bool HelmOrigins_Parse(const char* origin, HelmOrigin* out);
// Whether one allow-list pattern (trimmed, without separators) admits it.
bool HelmOrigins_PatternAdmits(const char* pattern, size_t length, const HelmOrigin* origin);
// Whether any pattern of a list text (patterns separated by ";" or line
// breaks, "#" starting a comment) admits the origin.
bool HelmOrigins_ListAdmits(const char* listText, size_t length, const char* origin);

// The origin as written in allow-lists and bound into authentications:
// "scheme://host" and ":port" only when it is not the scheme's default.
std::string HelmOrigins_Canonical(const HelmOrigin* origin);
// Reads a pattern-list file (the allow-list), trusting it only when it is a
// regular file of this user that nobody else may write. HELM_OK with the
// text (empty for a missing file: *exists false), or HELM_E_ORIGIN_REFUSED
// with the reason.
int HelmOrigins_ReadList(const std::string& path, std::string* text, bool* exists, std::string* message);


// Changes to the allow-list, under "allowed-origins.lock", written to a
// temporary file in the same folder (0600) and renamed over the list, so
// that a reader sees the old list or the new one. Add appends the origin's
// canonical form unless an exact entry is there; Remove drops every exact
// entry for it (patterns without wildcards that admit just this origin),
// keeping comments and other patterns, and tells in *stillAdmitted whether
// a wildcard pattern admits it still. *changed tells whether the file
// changed. HELM_OK, HELM_E_BAD_PARAMETER (not an origin) or
// HELM_E_INTERNAL with message.
int HelmOrigins_Add(const char* origin, bool* changed, std::string* message);
int HelmOrigins_Remove(const char* origin, bool* changed, bool* stillAdmitted, std::string* message);

// ---- settings (settings.cpp) -------------------------------------------------
// "key = value" lines, "#" comments, in the administrator's file
// /etc/kestrovan/helm.conf (owned by root, writable by nobody else) and then
// the user's <config folder>/helm.conf (the user's own, writable by nobody
// else); a file that fails these checks is ignored. The user's values win,
// except that the page-PIN and list origins of both files count.

#define HELM_SYSTEM_SETTINGS_FILE "/etc/kestrovan/helm.conf"
#define HELM_DEFAULT_PINENTRY "/usr/bin/pinentry"
#define HELM_DEFAULT_DIALOG_SECONDS 60u
#define HELM_DEFAULT_PIN_ATTEMPTS 3u
#define HELM_DEFAULT_DENIAL_BACKOFF_SECONDS 30u
#define HELM_MAX_DENIAL_BACKOFF_SECONDS 3600u
#define HELM_DEFAULT_TSA_SECONDS 10u
#define HELM_DEFAULT_TSA_TRUST "/etc/ssl/certs/ca-certificates.crt"
#define HELM_MAX_TSA_URLS 8u
#define HELM_MAX_TSA_REPLY_BYTES (256u * 1024u)

struct HelmSettings {
  std::string pinentry;              // "pinentry"; else $KESTROVAN_PINENTRY; else /usr/bin/pinentry
  unsigned dialogSeconds;            // "dialog-timeout", 5..600
  unsigned pinAttempts;              // "pin-attempts", 1..10: dialogs per operation for a wrong PIN
  unsigned denialBackoffSeconds;     // "denial-backoff", 1..3600: a denied site is not asked again for
                                     // this long, doubled with each further denial (at most an hour)
  std::string pagePinOrigins;        // "page-pin-origins": pattern list of origins that may send a PIN
  bool dualUseForAuthentication;     // "dual-use-key-role": authentication (true) or signing (false, default)
  std::string listOrigins;           // "list-origins": pattern list of origins ListCertificates answers
  std::string chooser;               // "chooser"; else $KESTROVAN_HELM_CHOOSER; else beside the adapter
  // Timestamp authorities (RFC 3161): only ever from these files, never from a page.
  std::vector<std::string> tsaUrls;  // "tsa-urls": http(s) URLs, tried in this order
  unsigned tsaSeconds;               // "tsa-timeout", 1..120: per authority, connection and answer
  std::string tsaPolicy;             // "tsa-policy": policy OID asked for, or empty
  std::string tsaTrust;              // "tsa-trust": PEM file of the roots a TSA chains to
  unsigned revocationSeconds;        // "revocation-timeout", 1..120: per OCSP responder or CRL
  bool revocationPrivateNetworks;    // "revocation-private-networks": allow (true) or refuse (false, default)
                                     // certificates' URLs on loopback and private addresses
  std::string chainCertificates;     // "chain-certificates": PEM file of the CA certificates that complete
                                     // signers' and TSAs' chains for B-LT (default: tsa-trust's default)
};
std::string HelmPaths_SettingsFile();   // <config folder>/helm.conf
void HelmSettings_Load(HelmSettings* out);
// Whether the settings let this origin send the PIN itself.
bool HelmSettings_PagePinAllowed(const HelmSettings* settings, const char* origin);
// Whether the settings let this origin list every certificate (kiosks,
// administrators' pages); every other site has the user choose one.
bool HelmSettings_ListAllowed(const HelmSettings* settings, const char* origin);

// ---- dialogs (dialog.cpp) ----------------------------------------------------
// One conversation with a pinentry program over the Assuan protocol. Only an
// explicit OK grants anything: every other outcome is a refusal. At most one
// conversation is open at a time across every copy of the adapter (the
// per-user "dialog.lock"), so the user always knows which site asks; each
// shown dialog has the adapter's own deadline (the setting plus a little),
// after which the pinentry process is ended.

enum HelmDialogAnswer {
  HELM_DIALOG_OK,           // the OK button (and, for a PIN, one was given)
  HELM_DIALOG_NOT_OK,       // the third button; also what a pinentry that showed nothing says
  HELM_DIALOG_CANCELLED,    // cancel, Escape, the window closed
  HELM_DIALOG_TIMEOUT,      // pinentry's timeout or the adapter's deadline
  HELM_DIALOG_UNAVAILABLE,  // nothing could be shown: no display, no usable program, a failure
  HELM_DIALOG_ABANDONED,    // ended because nobody waits for the answer (page gone, service stopping)
};

struct HelmDialog;   // opaque: dialog.cpp

// Texts given to dialogs (text.cpp) are cleaned first: every text from
// outside (a site's words, a certificate's names, a token's label, a file's
// name) with HelmDialog_Line or HelmDialog_Quoted; whole descriptions are
// escaped for Assuan and bounded by the dialog itself.

// Whether a code point is of Unicode's Cc, Cf, Zl or Zp categories: it
// breaks a line (LF, NEL, U+2028, U+2029, ...), reorders what follows
// (direction controls and isolates) or shows nothing (zero-width characters,
// soft hyphen, tag characters).
bool HelmText_BreaksLine(unsigned cp);
// Whether a code point reads as a double quote (", the typographic ones, ...).
bool HelmText_IsQuote(unsigned cp);
// Text from outside as one line of at most maxBytes bytes: every character
// HelmText_BreaksLine names becomes a space, bytes that are not UTF-8
// become U+FFFD, and a longer text is cut at a character boundary and ends
// with "…".
std::string HelmDialog_Line(const char* text, size_t length, size_t maxBytes);
// The site's own words as the dialogs show them: HelmDialog_Line with every
// quote character inside made an apostrophe, between double quotes, so the
// words cannot end the quotes and go on as the dialog's own text.
std::string HelmDialog_Quoted(const char* text, size_t length, size_t maxBytes);
// A site as dialogs show it: whole when it fits maxBytes, else its start and
// its end (where the domain a user knows is) around "…".
std::string HelmDialog_Site(const std::string& origin, size_t maxBytes);
// The Assuan form of an argument: "%", CR, LF and every byte below 0x20 as
// %XX; then cut to maxBytes without splitting an escape or a character.
std::string HelmDialog_Escape(const std::string& text, size_t maxBytes);

// Starts pinentry (after taking the dialog lock). Null with *why and the
// code when no dialog can be shown: HELM_E_NO_DIALOG, or HELM_E_CANCELLED
// when the call was abandoned while it waited for another dialog to end.
// The call's token (kestrovan/adapter_host.h) is taken here, on the calling
// thread; while a question is up its deadline keeper asks the service every
// quarter second whether the call was abandoned, and if so ends pinentry's
// process group at once: the question answers HELM_DIALOG_ABANDONED.
HelmDialog* HelmDialog_Open(const HelmSettings* settings, int* code, std::string* why);
// A question with OK, Cancel and, when notOk is given, a third button.
HelmDialogAnswer HelmDialog_Confirm(HelmDialog* dialog, const char* title, const std::string& description,
                                    const char* ok, const char* notOk, const char* cancel);
// Asks for a PIN. error (may be empty) is shown above the entry. On OK the
// PIN is in pin (NUL-terminated, at most pinSize - 1 bytes); the caller
// wipes it. A PIN that does not fit answers HELM_DIALOG_OK with *tooLong set
// and pin emptied.
HelmDialogAnswer HelmDialog_GetPin(HelmDialog* dialog, const char* title, const std::string& description,
                                   const char* prompt, const std::string& error, char* pin, size_t pinSize,
                                   bool* tooLong);
// Why a question answered HELM_DIALOG_UNAVAILABLE ("pinentry: <error>").
const std::string& HelmDialog_Failure(const HelmDialog* dialog);
// Shows a message and returns at once, while the caller waits for something
// else (a PIN typed on a reader); HelmDialog_Close takes it away.
bool HelmDialog_ShowMessage(HelmDialog* dialog, const char* title, const std::string& description);
// Ends pinentry, drops the lock and frees the dialog (wiping what libassuan held).
void HelmDialog_Close(HelmDialog* dialog);
// Closes its dialog on every way out of the scope that opened it, or
// earlier at close() where the dialog must be gone before the work that
// follows (the one-dialog lock is held until then).
struct HelmDialogGuard {
  HelmDialog* dialog;
  ~HelmDialogGuard() { close(); }
  void close() {
    if (dialog != nullptr) HelmDialog_Close(dialog);
    dialog = nullptr;
  }
};

// ---- the user's language (translate.cpp) ----------------------------------------
// Every text a dialog shows of the adapter's own goes through
// HelmText_Translate: the user's language (LANGUAGE, LC_ALL, LC_MESSAGES,
// LANG) from the gettext catalogs beside the adapter, English when there is
// none. Places for outside words are written "{name}" and filled by
// HelmText_Fill after translating, so a site's words are never translated
// nor read for marks.

// Marks a text for the catalogs where it is translated later.
#define HELM_N_(text) text
std::string HelmText_Translate(const char* text);
std::string HelmText_Fill(const std::string& text,
                          std::initializer_list<std::pair<const char*, std::string>> values);
// The language in use ("de", "fr_CA", ...; "" for English).
std::string HelmText_Language();

// ---- the adapter's own dialog program (program.cpp) ---------------------------
// kestrovan-helm-chooser (chooser/chooser.cpp) shows lists pinentry cannot: a
// certificate to choose, documents to sign. It is started under pinentry's
// rules (the dialog lock, a process group of its own, the parent's death, the
// call's abandonment) and spoken to in percent-escaped lines; its protocol
// is described in chooser.cpp.

#define HELM_CHOOSER_PROGRAM "kestrovan-helm-chooser"
// The adapter's installed folder below the service's (its path table entry).
#define HELM_INSTALL_FOLDER_NAME "NORTA"
// Where the adapter was installed, with a trailing slash: the chooser and
// the translations lie there ("" when unknown).
std::string HelmProgram_InstalledFolder();
struct HelmProgram;   // opaque: program.cpp
enum HelmProgramRead {
  HELM_PROGRAM_LINE,        // a line came (without its line break)
  HELM_PROGRAM_TIMEOUT,     // none within the wait
  HELM_PROGRAM_ENDED,       // the program ended or broke its protocol
  HELM_PROGRAM_ABANDONED,   // nobody waits for the call any more
};
// The program's path: the "chooser" setting, $KESTROVAN_HELM_CHOOSER, or
// beside the adapter's library.
std::string HelmProgram_Path(const HelmSettings* settings);
// Takes the dialog lock, starts the program and writes request (its lines,
// "show" included). Null with *code (HELM_E_NO_DIALOG, or HELM_E_CANCELLED
// when the call was abandoned while waiting) and *why.
HelmProgram* HelmProgram_Start(const HelmSettings* settings, const std::string& request, int* code, std::string* why);
bool HelmProgram_Send(HelmProgram* program, const std::string& line);
HelmProgramRead HelmProgram_ReadLine(HelmProgram* program, int waitMs, std::string* line);
// Closes its input, ends its process group, drops the lock, frees it.
void HelmProgram_End(HelmProgram* program);
// A protocol value: "%", and every byte below 0x20 (TAB and line breaks
// too) as %XX.
std::string HelmProgram_Escape(const std::string& text);

// ---- choosing a certificate (select.cpp; the choice in session.cpp) ----------

struct HelmCertificate;   // the store's (below)

// The id of the certificate the user chose for this session's site ("" when
// none): sites that may not list get at no other certificate.
const std::string& HelmSelect_Chosen();
// The user chose id for this session's site.
void HelmSelect_Choose(const std::string& id);
// Forgets the choice (a new unlock, the release).
void HelmSelect_Forget();
// Whether this session's site may name a certificate by id: one the user
// chose, or any for the sites "list-origins" names. HELM_OK or
// HELM_E_NOT_CHOSEN with message.
int HelmSelect_CheckId(const std::string& id, std::string* message);
// One certificate's line in a dialog: "<subject> — <token label or file>".
std::string HelmSelect_Where(const HelmCertificate& certificate);

// ---- the session's origin and consent (consent.cpp) ---------------------------

// Unlock: HELM_OK when the origin is on the allow-list or the user allows it
// in a dialog ("Allow once" for this session, "Always allow" confirmed by a
// second OK adds it to the list). Otherwise HELM_E_ORIGIN_REFUSED (deny,
// cancel, timeout, no dialog, the page gone, and without a dialog while the
// user's denial of the site in this run still holds or a dialog already asks
// about it) with the reason. canonical receives the canonical origin.
int HelmConsent_Unlock(const char* origin, std::string* canonical, std::string* message);

// ---- denied and pending sites (denials.cpp) -------------------------------------
// Kept for the service's run in a private file of the configuration folder
// named after the service process (its id and start time), shared by every
// copy of the adapter in it; changed under "denied-origins.lock", taken alone.

struct HelmDenial {
  std::string origin;       // canonical
  unsigned denials;         // denials in this run since the last grant or clear
  long long untilMs;        // CLOCK_BOOTTIME milliseconds: not asked again before
  bool pending;             // a consent dialog is open or waits to open
};
enum HelmDenialOutcome {
  HELM_DENIAL_GRANTED,      // allowed: the denials are forgotten
  HELM_DENIAL_DENIED,       // the user denied it: one more, the back-off doubles
  HELM_DENIAL_NEITHER,      // no answer of the user's (timeout, no dialog, page gone)
};
enum HelmDenialCheck {
  HELM_DENIAL_ASK,          // ask the user; the origin is now pending
  HELM_DENIAL_BACKING_OFF,  // denied in this run, its back-off still runs: refuse without asking
  HELM_DENIAL_PENDING,      // a consent dialog for it is open or waiting: refuse without asking
};
// Before a consent dialog: HELM_DENIAL_PENDING when one is already open or
// waiting for this origin, HELM_DENIAL_BACKING_OFF (with the time left in
// *waitMs) while its back-off runs, else HELM_DENIAL_ASK and the origin is
// marked pending until HelmDenials_End. State that cannot be read or
// written answers HELM_DENIAL_ASK.
HelmDenialCheck HelmDenials_Begin(const std::string& origin, long long* waitMs);
// After it: no longer pending, and the outcome counted. A denial keeps the
// site from being asked for backoffSeconds, doubled for every earlier
// denial in this run, at most HELM_MAX_DENIAL_BACKOFF_SECONDS.
void HelmDenials_End(const std::string& origin, HelmDenialOutcome outcome, unsigned backoffSeconds);
// For kestrovan-helm-sites: the entries of every service run still going
// (files of ended runs are removed), with the clock's now; false when the
// state cannot be reached. Clear forgets the denials of origin (every
// origin when empty), counting them in *cleared.
bool HelmDenials_List(std::vector<HelmDenial>* out, long long* nowMs);
bool HelmDenials_Clear(const std::string& origin, unsigned* cleared);

// The canonical origin this copy was unlocked for ("" before the unlock;
// session.cpp).
const std::string& HelmSession_Origin();
void HelmSession_SetOrigin(const std::string& origin);

// ---- certificate store (store.cpp; certificate.cpp, pkcs11.cpp, pkcs12.cpp, pin.cpp) ----

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

// What the key is opened for, and where its PIN comes from.
enum HelmPurpose { HELM_PURPOSE_SIGN_CMS, HELM_PURPOSE_SIGN_RAW, HELM_PURPOSE_AUTHENTICATE };
struct HelmPinSource {
  const char* pagePin;            // the page's PIN (the caller checked the settings), or null: a dialog
  const HelmSettings* settings;
  HelmPurpose purpose;
  std::string site;               // the canonical origin shown as the asking site
  std::string description;        // the site's own words about what is signed (may be empty)
  std::string digestLabel;        // e.g. "SHA-256 of the data"
  std::string digestHex;          // its first bytes in hex
};
// Checks validity and key usage first (no PIN is spent on a certificate that
// cannot be used for the purpose), then logs in or decrypts with the PIN:
// the page's, or one the user types in a dialog that names the site (asked
// again after a wrong one, up to the setting, showing the token's warnings),
// or, on a reader with its own PIN pad, typed there while a message says so.
// Codes: wrong PIN, locked token, cancelled, no dialog, expired, not yet
// valid, key usage, not for signing, unreadable PKCS #12, key not found,
// token failure.
int HelmKey_Open(const HelmCertificate* certificate, const HelmPinSource* source, HelmKey* out,
                 std::string* message);
void HelmKey_Close(HelmKey* key);
// An empty key, safe to close.
void HelmKey_Init(HelmKey* key);

// Certificate details as JSON members, without braces:
// "subject":...,"issuer":...,"serial":...,"notBefore":...,...
void HelmCertificate_AppendDetails(std::string* out, gnutls_x509_crt_t certificate, time_t now);
// Whether a certificate may sign now: HELM_OK, or the expiry, not-yet-valid or
// key-usage code with message.
int HelmCertificate_CheckSigning(gnutls_x509_crt_t certificate, time_t now, std::string* message);
// Every key serves exactly one role, so that what Authenticate signs can
// never come out of a function a site drives (SignRaw over a digest of the
// site's choosing, SignCms): the role follows from the certificate's key
// usage. digitalSignature without nonRepudiation: authentication.
// nonRepudiation without digitalSignature: signing. Both bits, or no
// key-usage extension: the setting "dual-use-key-role" (signing unless it
// says authentication). Neither bit: none.
enum HelmKeyRole { HELM_ROLE_NONE, HELM_ROLE_AUTHENTICATION, HELM_ROLE_SIGNING };
HelmKeyRole HelmCertificate_Role(gnutls_x509_crt_t certificate, const HelmSettings* settings);
// "authentication", "signing" or "none".
const char* HelmKeyRole_Name(HelmKeyRole role);
// The purpose's role rule: Authenticate takes authentication keys only
// (HELM_E_NOT_FOR_AUTHENTICATION otherwise), SignCms and SignRaw signing keys
// only (HELM_E_NOT_FOR_SIGNING); a certificate with neither signing bit is
// HELM_E_KEY_USAGE.
int HelmCertificate_CheckPurpose(gnutls_x509_crt_t certificate, HelmPurpose purpose, const HelmSettings* settings,
                                 std::string* message);
// For the signing purposes: whether another listed certificate of the same
// public key serves authentication (a key certified twice is an
// authentication key as soon as one of its certificates says so).
bool HelmStore_KeyServesAuthentication(gnutls_x509_crt_t certificate, const HelmSettings* settings);
// "CN=..,O=.." of the subject or the issuer ("" when unreadable).
std::string HelmCertificate_Name(gnutls_x509_crt_t certificate, bool issuer);
// The PEM text of a certificate.
int HelmCertificate_Pem(const std::vector<unsigned char>& der, std::string* pem);

// ---- the page functions (functions.cpp) --------------------------------------

// Each returns the JSON answer for the page.
std::string HelmFunction_ListCertificates(const KestrovanJsonMap* map);
std::string HelmFunction_GetCertificate(const KestrovanJsonMap* map);
std::string HelmFunction_SignCms(const KestrovanJsonMap* map);
std::string HelmFunction_SignRaw(const KestrovanJsonMap* map);
std::string HelmFunction_Authenticate(const KestrovanJsonMap* map);
std::string HelmFunction_VerifyCms(const KestrovanJsonMap* map);
std::string HelmFunction_ExtendCms(const KestrovanJsonMap* map);
std::string HelmFunction_Hash(const KestrovanJsonMap* map);
std::string HelmFunction_GetInfo(const KestrovanJsonMap* map);
std::string HelmFunction_SelectCertificate(const KestrovanJsonMap* map);   // select.cpp
std::string HelmFunction_SignCmsBatch(const KestrovanJsonMap* map);        // batch.cpp
// GetCertificate's answer for a certificate found in the store.
std::string HelmFunction_CertificateAnswer(const HelmCertificate& certificate);
// The CMS SignedData of data made with an opened key (SignCms and every
// document of a batch): HELM_OK with the DER in *cms, or a code and message.
int HelmCms_Sign(HelmKey* key, const std::vector<unsigned char>& data, bool attached, bool includeTime,
                 gnutls_digest_algorithm_t digest, std::vector<unsigned char>* cms, std::string* message);

// ---- signature levels (cades.cpp, timestamp.cpp) -----------------------------
// The baseline levels of a CMS signature. B-B: signed content type, message
// digest, signing time and the signer certificate's hash (ESS
// signing-certificate-v2). B-T: and a timestamp over the signature value.
// B-LT: and the signer's and the authority's chains with the CRLs of every
// certificate that names a CRL distribution point.
enum HelmLevel { HELM_LEVEL_B_B = 0, HELM_LEVEL_B_T = 1, HELM_LEVEL_B_LT = 2, HELM_LEVEL_B_LTA = 3,
                 HELM_LEVEL_NONE = -1 };
// "B-B", "B-T", "B-LT", "B-LTA" (any case) to a level; false otherwise.
bool HelmLevel_Parse(const std::string& text, HelmLevel* out);
const char* HelmLevel_Name(HelmLevel level);   // "B-B" ...; "none" for HELM_LEVEL_NONE
// What a timestamp said, for the answers.
struct HelmTimestampInfo {
  time_t when;               // genTime
  std::string authority;     // the TSA certificate's subject
  std::string url;           // where it came from (signing only)
};
// Signs data with an opened key as CMS SignedData (DER in *der) of the given
// level: OpenSSL builds the structure and its signed attributes, the key
// (token or file, through GnuTLS) signs their DER. HELM_OK, or a code with
// message; a level that cannot be reached is an error.
int HelmCades_Sign(const HelmKey* key, const std::vector<unsigned char>& data, bool attached,
                   gnutls_digest_algorithm_t digest, HelmLevel level, const HelmSettings* settings,
                   std::vector<unsigned char>* der, HelmTimestampInfo* stamp, std::string* message);
// Raises a signature (DER or PEM, one signer, at least B-B, carrying its
// signer's certificate) to B-T (a timestamp over its signature value, unless
// it has one) or B-LT (and the chains with their CRLs); *stamped tells
// whether a timestamp was added (and *stamp describes it). Nothing signed
// changes, so no key is needed.
int HelmCades_Extend(const std::vector<unsigned char>& cms, HelmLevel level, const HelmSettings* settings,
                     std::vector<unsigned char>* der, HelmTimestampInfo* stamp, bool* stamped, std::string* message);
// Asks the settings' authorities in order for a timestamp token over
// SHA-256(stamped) and checks it (granted, imprint, nonce echoed, signature,
// TSA chain to "tsa-trust", critical timeStamping EKU): HELM_OK with the
// token's DER (a ContentInfo) or the last authority's HELM_E_TSA_* code.
int HelmTimestamp_Get(const HelmSettings* settings, const unsigned char* stamped, size_t length,
                      std::vector<unsigned char>* token, HelmTimestampInfo* info, std::string* message);

// Revocation of one certificate of a chain (revocation.cpp).
struct HelmRevocation {
  const char* status;    // "good", "revoked", "unknown" (asked, no usable answer), "unchecked" (nowhere to ask)
  const char* source;    // "embedded" (a CRL in the signature), "ocsp", "crl" (fetched) or "none"
  time_t revokedAt;      // when revoked, else (time_t)-1
  std::string url;       // where the answer came from
  std::string problem;   // why the sources tried gave no answer
  std::string crl;       // a fetched CRL's DER
};
// These take OpenSSL objects: callers include <openssl/x509.h>.
// Looks first among the CRLs the signature carries (embedded, may be null),
// then asks the certificate's OCSP responders (authorityInfoAccess), then
// its CRL distribution points, each within seconds and none after deadline
// (the whole call's bound); roots and untrusted are what an OCSP
// responder's certificate may chain through.
void HelmRevocation_Check(struct x509_st* certificate, struct x509_st* issuer, struct x509_store_st* roots,
                          struct stack_st_X509* untrusted, struct stack_st_X509_CRL* embedded, unsigned seconds,
                          time_t deadline, HelmRevocation* out);
// Whether the certificate names OCSP responders and CRL distribution points.
bool HelmRevocation_HasServices(struct x509_st* certificate, bool* ocsp, bool* crl);
// Fetches a current CRL of the issuer's from the certificate's distribution
// points: true with its word and its DER in out->crl.
bool HelmRevocation_FetchCrl(struct x509_st* certificate, struct x509_st* issuer, unsigned seconds,
                             HelmRevocation* out);

// Who named a URL the adapter fetches. A certificate may come from a page
// (VerifyCms, ExtendCms), so its URLs reach only public addresses unless the
// settings allow private networks; the settings' own URLs reach anything.
enum HelmHttpSource { HELM_HTTP_FROM_SETTINGS, HELM_HTTP_FROM_CERTIFICATE };
// Fetches url (http or https only, no redirects): a POST of body with the
// content type when body is not null, else a GET; within seconds, and at
// most maxBytes of answer. True with the answer of an HTTP 200; otherwise
// false with the reason.
bool HelmHttp_Fetch(HelmHttpSource source, const std::string& url, const char* contentType,
                    const std::vector<unsigned char>* body, unsigned seconds, size_t maxBytes, std::string* out,
                    std::string* message);
// Whether an address is one a certificate's URL may not reach by default:
// loopback, private, shared (CGNAT), link-local, unique-local, unspecified,
// multicast or reserved, IPv4-mapped ones included.
bool HelmHttp_PrivateAddress(const struct sockaddr* address);

// ---- authentication format (functions.cpp) -----------------------------------
// Version 1 of what Authenticate signs, 82 bytes:
//   "KESTROVAN-AUTH-V1" (17 ASCII bytes) || 0x00 || SHA-256(origin) || SHA-256(challenge)
// origin: the canonical origin's UTF-8 bytes; challenge: the bytes the site's
// server chose. The key signs it with SHA-256 (RSA PKCS #1 v1.5, or ECDSA
// with a DER signature).
#define HELM_AUTH_FORMAT "KESTROVAN-AUTH-V1"
#define HELM_AUTH_VERSION 1
#define HELM_AUTH_SIGNED_BYTES (17u + 1u + 32u + 32u)
// Builds the signed bytes; false when hashing fails.
bool HelmAuth_SignedBytes(const std::string& origin, const unsigned char* challenge, size_t challengeLength,
                          unsigned char out[HELM_AUTH_SIGNED_BYTES]);

#endif
