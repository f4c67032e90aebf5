// SPDX-License-Identifier: Apache-2.0
/* locked_token_module.c -- a PKCS #11 module for the tests: one token
 * ("helm-locked") whose user PIN is locked, holding one certificate (the DER
 * file named by HELM_LOCKED_CERT, id 07, label "locked"). Every login is
 * refused with CKR_PIN_LOCKED. SoftHSM2 never locks its PIN, so this is how
 * the adapter's locked-token answer is exercised; it is registered with
 * p11-kit like any module, through a .module file.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static unsigned char* certificate;
static unsigned long certificateLength;
static int initialized;
static int sessionOpen;
static int findActive;
static int findDone;
static const unsigned char kId[] = {0x07};
static const char kLabel[] = "locked";
static CK_OBJECT_CLASS kClass = CKO_CERTIFICATE;
static CK_CERTIFICATE_TYPE kType = CKC_X_509;
static CK_BBOOL kTrue = CK_TRUE;
static CK_BBOOL kFalse = CK_FALSE;
static CK_ULONG kCategory = 0;

#define SLOT 1
#define SESSION 1
#define OBJECT 1

static void padded(unsigned char* field, size_t size, const char* text) {
  memset(field, ' ', size);
  memcpy(field, text, strlen(text) < size ? strlen(text) : size);
}

static CK_RV unsupported(void) { return CKR_FUNCTION_NOT_SUPPORTED; }
#define UNSUPPORTED(type) ((type)(void (*)(void))unsupported)

static CK_RV initialize(void* args) {
  (void)args;
  if (initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  const char* path = getenv("HELM_LOCKED_CERT");
  FILE* f = path != NULL ? fopen(path, "rb") : NULL;
  if (f != NULL) {
    unsigned char buffer[16384];
    size_t n = fread(buffer, 1, sizeof buffer, f);
    fclose(f);
    certificate = malloc(n);
    if (certificate != NULL) {
      memcpy(certificate, buffer, n);
      certificateLength = n;
    }
  }
  initialized = 1;
  return CKR_OK;
}

static CK_RV finalize(void* reserved) {
  (void)reserved;
  if (!initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  free(certificate);
  certificate = NULL;
  certificateLength = 0;
  initialized = 0;
  sessionOpen = 0;
  return CKR_OK;
}

static CK_RV getInfo(CK_INFO_PTR info) {
  memset(info, 0, sizeof *info);
  info->cryptokiVersion.major = 2;
  info->cryptokiVersion.minor = 20;
  padded(info->manufacturerID, sizeof info->manufacturerID, "Kestrovan tests");
  padded(info->libraryDescription, sizeof info->libraryDescription, "locked token");
  return CKR_OK;
}

static CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  (void)present;
  if (list == NULL) {
    *count = 1;
    return CKR_OK;
  }
  if (*count < 1) {
    *count = 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  list[0] = SLOT;
  *count = 1;
  return CKR_OK;
}

static CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  if (slot != SLOT) return CKR_SLOT_ID_INVALID;
  memset(info, 0, sizeof *info);
  padded(info->slotDescription, sizeof info->slotDescription, "locked slot");
  padded(info->manufacturerID, sizeof info->manufacturerID, "Kestrovan tests");
  info->flags = CKF_TOKEN_PRESENT;
  return CKR_OK;
}

static CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (slot != SLOT) return CKR_SLOT_ID_INVALID;
  memset(info, 0, sizeof *info);
  padded(info->label, sizeof info->label, "helm-locked");
  padded(info->manufacturerID, sizeof info->manufacturerID, "Kestrovan tests");
  padded(info->model, sizeof info->model, "locked");
  padded(info->serialNumber, sizeof info->serialNumber, "0007");
  info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_USER_PIN_LOCKED;
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulMaxPinLen = 64;
  info->ulMinPinLen = 4;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  return CKR_OK;
}

static CK_RV getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  (void)list;
  if (slot != SLOT) return CKR_SLOT_ID_INVALID;
  *count = 0;
  return CKR_OK;
}

static CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void* app, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session) {
  (void)flags;
  (void)app;
  (void)notify;
  if (slot != SLOT) return CKR_SLOT_ID_INVALID;
  sessionOpen = 1;
  *session = SESSION;
  return CKR_OK;
}

static CK_RV closeSession(CK_SESSION_HANDLE session) {
  if (session != SESSION) return CKR_SESSION_HANDLE_INVALID;
  sessionOpen = 0;
  return CKR_OK;
}

static CK_RV closeAllSessions(CK_SLOT_ID slot) {
  (void)slot;
  sessionOpen = 0;
  return CKR_OK;
}

static CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
  if (session != SESSION) return CKR_SESSION_HANDLE_INVALID;
  memset(info, 0, sizeof *info);
  info->slotID = SLOT;
  info->state = CKS_RO_PUBLIC_SESSION;
  info->flags = CKF_SERIAL_SESSION;
  return CKR_OK;
}

static CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  (void)session;
  (void)user;
  (void)pin;
  (void)length;
  return CKR_PIN_LOCKED;
}

static CK_RV logout(CK_SESSION_HANDLE session) {
  (void)session;
  return CKR_USER_NOT_LOGGED_IN;
}

/* The value of one attribute of the certificate object, or NULL. */
static const void* attribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* length) {
  switch (type) {
    case CKA_CLASS: *length = sizeof kClass; return &kClass;
    case CKA_CERTIFICATE_TYPE: *length = sizeof kType; return &kType;
    case CKA_TOKEN: *length = sizeof kTrue; return &kTrue;
    case CKA_PRIVATE: *length = sizeof kFalse; return &kFalse;
    case CKA_TRUSTED: *length = sizeof kFalse; return &kFalse;
    case CKA_MODIFIABLE: *length = sizeof kFalse; return &kFalse;
    case CKA_CERTIFICATE_CATEGORY: *length = sizeof kCategory; return &kCategory;
    case CKA_ID: *length = sizeof kId; return kId;
    case CKA_LABEL: *length = sizeof kLabel - 1; return kLabel;
    case CKA_VALUE: *length = certificateLength; return certificate;
    default: return NULL;
  }
}

static CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attrs,
                               CK_ULONG count) {
  if (session != SESSION) return CKR_SESSION_HANDLE_INVALID;
  if (object != OBJECT) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; i++) {
    CK_ULONG length = 0;
    const void* value = attribute(attrs[i].type, &length);
    if (value == NULL) {
      attrs[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (attrs[i].pValue == NULL) {
      attrs[i].ulValueLen = length;
    } else if (attrs[i].ulValueLen < length) {
      attrs[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_BUFFER_TOO_SMALL;
    } else {
      memcpy(attrs[i].pValue, value, length);
      attrs[i].ulValueLen = length;
    }
  }
  return rv;
}

static CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
  if (session != SESSION) return CKR_SESSION_HANDLE_INVALID;
  findActive = 1;
  findDone = certificate == NULL;
  for (CK_ULONG i = 0; i < count; i++) {
    CK_ULONG length = 0;
    const void* value = attribute(templ[i].type, &length);
    if (value == NULL || length != templ[i].ulValueLen || memcmp(value, templ[i].pValue, length) != 0) findDone = 1;
  }
  return CKR_OK;
}

static CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count) {
  if (session != SESSION || !findActive) return CKR_OPERATION_NOT_INITIALIZED;
  *count = 0;
  if (!findDone && max > 0) {
    objects[0] = OBJECT;
    *count = 1;
    findDone = 1;
  }
  return CKR_OK;
}

static CK_RV findObjectsFinal(CK_SESSION_HANDLE session) {
  (void)session;
  findActive = 0;
  return CKR_OK;
}

static CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

static CK_FUNCTION_LIST functions = {
    {2, 20},
    initialize,
    finalize,
    getInfo,
    getFunctionList,
    getSlotList,
    getSlotInfo,
    getTokenInfo,
    getMechanismList,
    UNSUPPORTED(CK_C_GetMechanismInfo),
    UNSUPPORTED(CK_C_InitToken),
    UNSUPPORTED(CK_C_InitPIN),
    UNSUPPORTED(CK_C_SetPIN),
    openSession,
    closeSession,
    closeAllSessions,
    getSessionInfo,
    UNSUPPORTED(CK_C_GetOperationState),
    UNSUPPORTED(CK_C_SetOperationState),
    login,
    logout,
    UNSUPPORTED(CK_C_CreateObject),
    UNSUPPORTED(CK_C_CopyObject),
    UNSUPPORTED(CK_C_DestroyObject),
    UNSUPPORTED(CK_C_GetObjectSize),
    getAttributeValue,
    UNSUPPORTED(CK_C_SetAttributeValue),
    findObjectsInit,
    findObjects,
    findObjectsFinal,
    UNSUPPORTED(CK_C_EncryptInit),
    UNSUPPORTED(CK_C_Encrypt),
    UNSUPPORTED(CK_C_EncryptUpdate),
    UNSUPPORTED(CK_C_EncryptFinal),
    UNSUPPORTED(CK_C_DecryptInit),
    UNSUPPORTED(CK_C_Decrypt),
    UNSUPPORTED(CK_C_DecryptUpdate),
    UNSUPPORTED(CK_C_DecryptFinal),
    UNSUPPORTED(CK_C_DigestInit),
    UNSUPPORTED(CK_C_Digest),
    UNSUPPORTED(CK_C_DigestUpdate),
    UNSUPPORTED(CK_C_DigestKey),
    UNSUPPORTED(CK_C_DigestFinal),
    UNSUPPORTED(CK_C_SignInit),
    UNSUPPORTED(CK_C_Sign),
    UNSUPPORTED(CK_C_SignUpdate),
    UNSUPPORTED(CK_C_SignFinal),
    UNSUPPORTED(CK_C_SignRecoverInit),
    UNSUPPORTED(CK_C_SignRecover),
    UNSUPPORTED(CK_C_VerifyInit),
    UNSUPPORTED(CK_C_Verify),
    UNSUPPORTED(CK_C_VerifyUpdate),
    UNSUPPORTED(CK_C_VerifyFinal),
    UNSUPPORTED(CK_C_VerifyRecoverInit),
    UNSUPPORTED(CK_C_VerifyRecover),
    UNSUPPORTED(CK_C_DigestEncryptUpdate),
    UNSUPPORTED(CK_C_DecryptDigestUpdate),
    UNSUPPORTED(CK_C_SignEncryptUpdate),
    UNSUPPORTED(CK_C_DecryptVerifyUpdate),
    UNSUPPORTED(CK_C_GenerateKey),
    UNSUPPORTED(CK_C_GenerateKeyPair),
    UNSUPPORTED(CK_C_WrapKey),
    UNSUPPORTED(CK_C_UnwrapKey),
    UNSUPPORTED(CK_C_DeriveKey),
    UNSUPPORTED(CK_C_SeedRandom),
    UNSUPPORTED(CK_C_GenerateRandom),
    UNSUPPORTED(CK_C_GetFunctionStatus),
    UNSUPPORTED(CK_C_CancelFunction),
    UNSUPPORTED(CK_C_WaitForSlotEvent),
};

static CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  *list = &functions;
  return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  return getFunctionList(list);
}
