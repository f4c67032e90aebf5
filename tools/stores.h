// SPDX-License-Identifier: Apache-2.0
// stores.h -- the NSS certificate databases a Linux user's browsers read,
// and our local CA in them (through certutil, Debian package libnss3-tools).
// Owns no state: every call looks at the disk anew. Used by the provisioning
// command (to trust the CA) and the doctor (to tell which stores do).
//
// The stores, under the user's home:
//   ~/.pki/nssdb                                  Chromium, Chrome, Edge (made when missing)
//   ~/.local/share/pki/nssdb                      newer Chromium, when it made it
//   ~/snap/chromium/current/.pki/nssdb            snap Chromium, when installed
//   ~/.var/app/org.chromium.Chromium/.pki/nssdb   Flatpak Chromium, when installed
//   every profile listed in profiles.ini under
//   ~/.mozilla/firefox, $XDG_CONFIG_HOME/mozilla/firefox (~/.config/...),
//   ~/snap/firefox/common/.mozilla/firefox,
//   ~/.var/app/org.mozilla.firefox/.mozilla/firefox and
//   ~/.var/app/org.mozilla.firefox/config/mozilla/firefox
#ifndef KESTROVAN_TOOLS_STORES_H
#define KESTROVAN_TOOLS_STORES_H

#include <string>
#include <vector>

// The nickname our CA has in every store; certificates whose nickname starts
// with it are ours (an import through a browser's own dialog names the CA by
// its common name, which starts the same way).
extern const char* const KestrovanStores_nickname;

// The name of the copy of the local CA kept in ~/.mozilla/certificates,
// where Firefox looks for a file that an administrator's Certificates /
// Install policy names without a folder.
extern const char* const KestrovanStores_firefoxCaFile;

struct KestrovanStore {
  std::string folder;  // the NSS database folder (cert9.db, key4.db)
  std::string reader;  // which browser reads it, for reports
  bool create;         // made when it has no database yet
};

// True when certutil can be run.
bool KestrovanStores_HaveCertutil();

// The stores under home that a browser of the user reads. notes gets a line
// for each profiles.ini entry that cannot be used (folder gone, old format).
std::vector<KestrovanStore> KestrovanStores_Find(const std::string& home, std::vector<std::string>* notes);

// Trusts the CA in caPath for web sites in store, after removing every
// certificate of ours already there; makes the database first when the store
// says so. Returns "" on success, else why it could not.
std::string KestrovanStores_Trust(const KestrovanStore& store, const std::string& caPath);

// Keeps ~/.mozilla/certificates/KestrovanStores_firefoxCaFile a copy of
// the CA in caPath. Returns "" on success, else why not.
std::string KestrovanStores_KeepFirefoxCopy(const std::string& home, const std::string& caPath);

enum KestrovanStoreState {
  KestrovanStore_Trusted,     // holds caPem, trusted for web sites
  KestrovanStore_NotTrusted,  // holds caPem without the web-site trust
  KestrovanStore_Other,       // holds a CA of ours, but another one
  KestrovanStore_Missing,     // holds no CA of ours
  KestrovanStore_Unreadable,  // no database, or certutil cannot read it
};

// What store holds of ours, compared with the CA caPem (PEM text).
KestrovanStoreState KestrovanStores_Check(const KestrovanStore& store, const std::string& caPem);

#endif
