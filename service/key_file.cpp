// SPDX-License-Identifier: Apache-2.0
// key_file.cpp -- reading the user's key file with its owner and mode
// checked, and the public key of a certificate or key text.
#include "service/key_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "support/text.h"

// The folder the key lives in: a file is only as safe as the folder that
// names it, since whoever may write the folder may swap the file.
static bool folderTrusted(const char* path, char* reason, size_t size) {
  reason[0] = '\0';
  std::string folder = path;
  size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
  struct stat info;
  if (lstat(folder.c_str(), &info) != 0) {
    snprintf(reason, size, "%s: %s", folder.c_str(), strerror(errno));
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    snprintf(reason, size, "%s is a symbolic link", folder.c_str());
  } else if (!S_ISDIR(info.st_mode)) {
    snprintf(reason, size, "%s is not a folder", folder.c_str());
  } else if (info.st_uid != geteuid()) {
    snprintf(reason, size, "%s is owned by uid %u, not by uid %u", folder.c_str(), (unsigned)info.st_uid,
            (unsigned)geteuid());
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    snprintf(reason, size, "%s can be written by group or others (mode 0%03o)", folder.c_str(),
            (unsigned)(info.st_mode & 0777));
  } else {
    return true;
  }
  return false;
}

char* KestrovanKeyFile_read(const char* path, char* reason, size_t reasonSize) {
  KestrovanKeyFileRefusal refusal;
  return KestrovanKeyFile_check(path, &refusal, nullptr, nullptr, reason, reasonSize);
}

char* KestrovanKeyFile_check(const char* path, KestrovanKeyFileRefusal* refusal, unsigned* mode, unsigned* owner,
                             char* reason, size_t reasonSize) {
  *refusal = KESTROVAN_KEY_FILE_MISSING;
  if (reason == nullptr || reasonSize == 0)
    return nullptr;
  reason[0] = '\0';
  if (path == nullptr) {
    snprintf(reason, reasonSize, "no key file named");
    return nullptr;
  }
  if (!folderTrusted(path, reason, reasonSize)) {
    *refusal = KESTROVAN_KEY_FILE_FOLDER;
    return nullptr;
  }
  // Non-blocking, so that a FIFO in the key's place is refused below
  // instead of waiting for a writer.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    snprintf(reason, reasonSize, "%s: %s (NORTAKestrovanProvision makes it)", path, strerror(errno));
    return nullptr;
  }
  // The checks are made on the file that was opened, not on a name that
  // could point elsewhere by now.
  struct stat info;
  char* text = nullptr;
  *refusal = KESTROVAN_KEY_FILE_UNREADABLE;
  bool stated = fstat(fd, &info) == 0;
  if (stated && mode != nullptr)
    *mode = (unsigned)(info.st_mode & 07777);
  if (stated && owner != nullptr)
    *owner = (unsigned)info.st_uid;
  if (!stated) {
    snprintf(reason, reasonSize, "%s: %s", path, strerror(errno));
  } else if (!S_ISREG(info.st_mode)) {
    *refusal = KESTROVAN_KEY_FILE_NOT_REGULAR;
    snprintf(reason, reasonSize, "%s is not a regular file", path);
  } else if (info.st_uid != geteuid()) {
    *refusal = KESTROVAN_KEY_FILE_NOT_OWN;
    snprintf(reason, reasonSize, "%s is owned by uid %u, not by uid %u", path, (unsigned)info.st_uid,
            (unsigned)geteuid());
  } else if ((info.st_mode & 077) != 0) {
    *refusal = KESTROVAN_KEY_FILE_OPEN_MODE;
    snprintf(reason, reasonSize,
             "permissions 0%03o for %s are too open: only its owner may have access "
             "(chmod 600 it, or run NORTAKestrovanProvision --force for a new key)",
             (unsigned)(info.st_mode & 0777), path);
  } else if (info.st_size <= 0 || info.st_size > KESTROVAN_KEY_FILE_LONGEST) {
    *refusal = KESTROVAN_KEY_FILE_SIZE;
    snprintf(reason, reasonSize, "%s is empty or too large for a key file", path);
  } else if ((text = (char*)newMemSize((uint64_t)info.st_size + 1)) == nullptr) {
    snprintf(reason, reasonSize, "%s: no memory to read it", path);
  } else {
    size_t done = 0;
    while (done < (size_t)info.st_size) {
      ssize_t got = read(fd, text + done, (size_t)info.st_size - done);
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        break;
      done += (size_t)got;
    }
    if (done != (size_t)info.st_size || memchr(text, '\0', done) != nullptr) {
      snprintf(reason, reasonSize, "%s could not be read whole, or holds no text", path);
      secureWipe(text, done);
      free(text);
      text = nullptr;
    }
  }
  close(fd);
  if (text != nullptr)
    *refusal = KESTROVAN_KEY_FILE_TRUSTED;
  return text;
}

static bool export2(gnutls_pubkey_t key, std::string* der) {
  gnutls_datum_t out = {nullptr, 0};
  if (gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &out) < 0)
    return false;
  der->assign((const char*)out.data, out.size);
  gnutls_free(out.data);
  return true;
}

static bool fromPrivateKey(const gnutls_datum_t* text, gnutls_pubkey_t key) {
  gnutls_privkey_t secret = nullptr;
  if (gnutls_privkey_init(&secret) < 0)
    return false;
  bool found = gnutls_privkey_import_x509_raw(secret, text, GNUTLS_X509_FMT_PEM, nullptr, 0) >= 0 &&
               gnutls_pubkey_import_privkey(key, secret, 0, 0) >= 0;
  // GnuTLS clears the key's numbers as it releases them.
  gnutls_privkey_deinit(secret);
  return found;
}

static bool fromCertificate(const gnutls_datum_t* text, gnutls_pubkey_t key) {
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) < 0)
    return false;
  bool found = gnutls_x509_crt_import(crt, text, GNUTLS_X509_FMT_PEM) >= 0 && gnutls_pubkey_import_x509(key, crt, 0) >= 0;
  gnutls_x509_crt_deinit(crt);
  return found;
}

bool KestrovanKeyFile_publicKey(const char* pem, size_t length, std::string* der) {
  if (pem == nullptr || der == nullptr || length == 0 || length > 0x7fffffff)
    return false;
  der->clear();
  gnutls_datum_t text = {(unsigned char*)pem, (unsigned)length};
  gnutls_pubkey_t key = nullptr;
  if (gnutls_pubkey_init(&key) < 0)
    return false;
  // A text with a private key is about that key, whatever else it holds.
  bool found = memmem(pem, length, "PRIVATE KEY-----", 16) != nullptr
                   ? fromPrivateKey(&text, key)
                   : fromCertificate(&text, key) || gnutls_pubkey_import(key, &text, GNUTLS_X509_FMT_PEM) >= 0;
  found = found && export2(key, der);
  gnutls_pubkey_deinit(key);
  return found;
}

KestrovanKeyChoice KestrovanKeyFile_choose(const std::string& cert, const char* builtInPublicKeyPem,
                                           std::string* certified) {
  certified->clear();
  std::string builtIn;
  if (KestrovanKeyFile_publicKey(cert.c_str(), cert.size(), certified) && builtInPublicKeyPem != nullptr &&
      KestrovanKeyFile_publicKey(builtInPublicKeyPem, strlen(builtInPublicKeyPem), &builtIn) && *certified == builtIn)
    return KESTROVAN_KEY_BUILT_IN;
  return KESTROVAN_KEY_USER_FILE;
}
