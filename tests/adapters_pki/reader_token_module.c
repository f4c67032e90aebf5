// SPDX-License-Identifier: Apache-2.0
/* reader_token_module.c -- a PKCS #11 module for the tests that puts
 * SoftHSM2 behind a card reader. It forwards every call to the real SoftHSM2
 * module (HELM_SOFTHSM_MODULE, else Debian's path) and, for the token
 * labelled "helm-reader" only, adds what a card does and SoftHSM2 does not:
 *
 *  - it counts wrong PINs: CKF_USER_PIN_COUNT_LOW after one,
 *    CKF_USER_PIN_FINAL_TRY after two, CKF_USER_PIN_LOCKED (and
 *    CKR_PIN_LOCKED for every login) after three; a right PIN starts over.
 *    The count lives in the file HELM_READER_COUNTER (absent: none), so a
 *    test can start from nothing;
 *  - with HELM_READER_PINPAD=1 it is a reader with its own keypad
 *    (CKF_PROTECTED_AUTHENTICATION_PATH): a login without a PIN waits
 *    HELM_READER_PINPAD_MS milliseconds (default 500) as a user typing,
 *    then logs in with HELM_READER_PINPAD_PIN (default 1234), or answers
 *    CKR_FUNCTION_CANCELED when that is "cancel";
 *  - HELM_READER_LOG names a file where "reader login-start" and
 *    "reader login-end <result>" lines are appended.
 *
 * It is registered with p11-kit under SoftHSM2's own module name, in its
 * place, so every SoftHSM2 token is seen once, through it.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST_PTR real;
static CK_FUNCTION_LIST proxy;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static const char kLabel[] = "helm-reader";

static int failures(void) {
  const char* path = getenv("HELM_READER_COUNTER");
  FILE* f = path != NULL ? fopen(path, "r") : NULL;
  int n = 0;
  if (f != NULL) {
    if (fscanf(f, "%d", &n) != 1) n = 0;
    fclose(f);
  }
  return n;
}

static void setFailures(int n) {
  const char* path = getenv("HELM_READER_COUNTER");
  FILE* f = path != NULL ? fopen(path, "w") : NULL;
  if (f != NULL) {
    fprintf(f, "%d\n", n);
    fclose(f);
  }
}

static void note(const char* text) {
  const char* path = getenv("HELM_READER_LOG");
  FILE* f = path != NULL ? fopen(path, "a") : NULL;
  if (f != NULL) {
    fprintf(f, "reader %s\n", text);
    fclose(f);
  }
}

static int pinPad(void) {
  const char* mode = getenv("HELM_READER_PINPAD");
  return mode != NULL && strcmp(mode, "1") == 0;
}

static int isReader(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info;
  if (real->C_GetTokenInfo(slot, &info) != CKR_OK) return 0;
  size_t n = strlen(kLabel);
  if (memcmp(info.label, kLabel, n) != 0) return 0;
  for (size_t i = n; i < sizeof info.label; i++) {
    if (info.label[i] != ' ') return 0;
  }
  return 1;
}

static CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  CK_RV rv = real->C_GetTokenInfo(slot, info);
  if (rv != CKR_OK || !isReader(slot)) return rv;
  pthread_mutex_lock(&lock);
  int n = failures();
  pthread_mutex_unlock(&lock);
  info->flags &= ~(CK_FLAGS)(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED |
                             CKF_PROTECTED_AUTHENTICATION_PATH);
  if (n >= 3) info->flags |= CKF_USER_PIN_LOCKED;
  else if (n == 2) info->flags |= CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY;
  else if (n == 1) info->flags |= CKF_USER_PIN_COUNT_LOW;
  if (pinPad()) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  return CKR_OK;
}

static CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  CK_SESSION_INFO info;
  if (user != CKU_USER || real->C_GetSessionInfo(session, &info) != CKR_OK || !isReader(info.slotID)) {
    return real->C_Login(session, user, pin, length);
  }
  pthread_mutex_lock(&lock);
  int n = failures();
  pthread_mutex_unlock(&lock);
  if (n >= 3) return CKR_PIN_LOCKED;
  const char* typed = NULL;
  if (pin == NULL) {
    if (!pinPad()) return CKR_ARGUMENTS_BAD;
    note("login-start");
    const char* ms = getenv("HELM_READER_PINPAD_MS");
    long wait = ms != NULL ? atol(ms) : 500;
    struct timespec pause = {wait / 1000, (wait % 1000) * 1000000L};
    nanosleep(&pause, NULL);
    typed = getenv("HELM_READER_PINPAD_PIN");
    if (typed == NULL) typed = "1234";
    if (strcmp(typed, "cancel") == 0) {
      note("login-end cancelled");
      return CKR_FUNCTION_CANCELED;
    }
    pin = (CK_UTF8CHAR_PTR)typed;
    length = (CK_ULONG)strlen(typed);
  }
  CK_RV rv = real->C_Login(session, user, pin, length);
  pthread_mutex_lock(&lock);
  if (rv == CKR_PIN_INCORRECT) setFailures(n + 1);
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) setFailures(0);
  pthread_mutex_unlock(&lock);
  if (typed != NULL) note(rv == CKR_OK ? "login-end ok" : "login-end refused");
  return rv;
}

static CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

static CK_RV load(void) {
  if (real != NULL) return CKR_OK;
  const char* path = getenv("HELM_SOFTHSM_MODULE");
  if (path == NULL) path = "/usr/lib/softhsm/libsofthsm2.so";
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) return CKR_GENERAL_ERROR;
  CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(handle, "C_GetFunctionList");
  if (get == NULL || get(&real) != CKR_OK || real == NULL) return CKR_GENERAL_ERROR;
  proxy = *real;
  proxy.C_GetFunctionList = getFunctionList;
  proxy.C_GetTokenInfo = getTokenInfo;
  proxy.C_Login = login;
  return CKR_OK;
}

static CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  CK_RV rv = load();
  if (rv != CKR_OK) return rv;
  *list = &proxy;
  return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  return getFunctionList(list);
}
