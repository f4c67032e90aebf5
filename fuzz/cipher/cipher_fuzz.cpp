// SPDX-License-Identifier: Apache-2.0
// cipher_fuzz.cpp -- the cipher engine against nettle, an independent
// implementation, for every mechanism: the input picks the mechanism, the
// direction, the key length (any, so rejections are covered), key, IV and
// data, and the points where the data is cut into updates (with size
// queries and short buffers on the way). Encryption must equal nettle's;
// decryption of any bytes must equal nettle's decryption, with the padded
// mechanisms refusing exactly the data whose length or padding is wrong.
// The AES-256-CBC sealing on top must open what it sealed and survive
// opening any bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "fuzz_util.h"
#include "support/text.h"

typedef std::vector<uint8_t> Bytes;

struct Mechanism {
  uint64_t number;
  unsigned blockSize;  // 1 for RC4
  bool aes;
  bool cbc;
  bool padded;
};

static const Mechanism kMechanisms[] = {
    {SK_CKM_RC4, 1, false, false, false},         {SK_CKM_DES_ECB, 8, false, false, false},
    {SK_CKM_DES_CBC, 8, false, true, false},      {SK_CKM_DES_CBC_PAD, 8, false, true, true},
    {SK_CKM_DES3_ECB, 8, false, false, false},    {SK_CKM_DES3_CBC, 8, false, true, false},
    {SK_CKM_DES3_CBC_PAD, 8, false, true, true},  {SK_CKM_AES_ECB, 16, true, false, false},
    {SK_CKM_AES_CBC, 16, true, true, false},      {SK_CKM_AES_CBC_PAD, 16, true, true, true},
};

static bool keyLengthValid(const Mechanism& m, size_t length) {
  if (m.blockSize == 1)
    return length >= 1;
  if (m.aes)
    return length == 16 || length == 24 || length == 32;
  return length == 8 || length == 16 || length == 24;
}

// nettle's block functions with the exact type its CBC helpers call.
static void desE(const void* c, size_t n, uint8_t* d, const uint8_t* s) { des_encrypt((const des_ctx*)c, n, d, s); }
static void desD(const void* c, size_t n, uint8_t* d, const uint8_t* s) { des_decrypt((const des_ctx*)c, n, d, s); }
static void des3E(const void* c, size_t n, uint8_t* d, const uint8_t* s) { des3_encrypt((const des3_ctx*)c, n, d, s); }
static void des3D(const void* c, size_t n, uint8_t* d, const uint8_t* s) { des3_decrypt((const des3_ctx*)c, n, d, s); }
static void aes128E(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes128_encrypt((const aes128_ctx*)c, n, d, s); }
static void aes128D(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes128_decrypt((const aes128_ctx*)c, n, d, s); }
static void aes192E(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes192_encrypt((const aes192_ctx*)c, n, d, s); }
static void aes192D(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes192_decrypt((const aes192_ctx*)c, n, d, s); }
static void aes256E(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes256_encrypt((const aes256_ctx*)c, n, d, s); }
static void aes256D(const void* c, size_t n, uint8_t* d, const uint8_t* s) { aes256_decrypt((const aes256_ctx*)c, n, d, s); }

// nettle over whole blocks of data (the caller pads or trims). The key length
// picks the cipher within a family: 8 bytes single DES, 16 two-key and 24
// three-key triple DES, whatever the DES mechanism.
static Bytes reference(bool encrypt, const Mechanism& m, const Bytes& key, const uint8_t* iv, const Bytes& data) {
  Bytes out(data.size());
  if (data.empty())
    return out;
  if (m.blockSize == 1) {
    arcfour_ctx c;
    // The key schedule reads at most 256 key bytes; nettle takes no more.
    arcfour_set_key(&c, std::min<size_t>(key.size(), ARCFOUR_MAX_KEY_SIZE), key.data());
    arcfour_crypt(&c, data.size(), out.data(), data.data());
    return out;
  }
  union {
    des_ctx des;
    des3_ctx des3;
    aes128_ctx a128;
    aes192_ctx a192;
    aes256_ctx a256;
  } c;
  nettle_cipher_func* f;
  if (!m.aes && key.size() == 8) {
    des_set_key(&c.des, key.data());  // weak keys are reported but still usable
    f = encrypt ? desE : desD;
  } else if (!m.aes) {
    Bytes k3 = key;
    if (k3.size() == 16)
      k3.insert(k3.end(), key.begin(), key.begin() + 8);  // K1, K2, K1
    des3_set_key(&c.des3, k3.data());
    f = encrypt ? des3E : des3D;
  } else if (key.size() == 16) {
    encrypt ? aes128_set_encrypt_key(&c.a128, key.data()) : aes128_set_decrypt_key(&c.a128, key.data());
    f = encrypt ? aes128E : aes128D;
  } else if (key.size() == 24) {
    encrypt ? aes192_set_encrypt_key(&c.a192, key.data()) : aes192_set_decrypt_key(&c.a192, key.data());
    f = encrypt ? aes192E : aes192D;
  } else {
    encrypt ? aes256_set_encrypt_key(&c.a256, key.data()) : aes256_set_decrypt_key(&c.a256, key.data());
    f = encrypt ? aes256E : aes256D;
  }
  if (m.cbc) {
    uint8_t chain[16];
    memcpy(chain, iv, m.blockSize);
    if (encrypt)
      cbc_encrypt(&c, f, m.blockSize, chain, data.size(), out.data(), data.data());
    else
      cbc_decrypt(&c, f, m.blockSize, chain, data.size(), out.data(), data.data());
  } else {
    f(&c, data.size(), out.data(), data.data());
  }
  return out;
}

struct Outcome {
  int finalCode;
  Bytes output;
};

// The whole operation through the engine, cut where the input says.
static Outcome throughEngine(FuzzedDataProvider& input, bool encrypt, const Mechanism& m, const Bytes& key,
                             const uint8_t* iv, const Bytes& data) {
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  int rv = encrypt ? SK_EncryptInit(&ctx, m.number, key.data(), key.size())
                   : SK_DecryptInit(&ctx, m.number, key.data(), key.size());
  FUZZ_CHECK(rv == SK_CKR_OK);
  memcpy(ctx.chain, iv, 16);
  auto update = [&](const uint8_t* in, uint64_t n, uint8_t* out, uint64_t* room) {
    return encrypt ? SK_EncryptUpdate(&ctx, in, n, out, room) : SK_DecryptUpdate(&ctx, in, n, out, room);
  };
  Bytes out(data.size() + 2 * m.blockSize);
  size_t pos = 0, produced = 0;
  int emptyUpdates = 0;
  while (pos < data.size()) {
    // Once the input has no cut points left, the rest goes in one update.
    size_t piece = input.remaining_bytes() > 0 ? input.ConsumeIntegralInRange<size_t>(0, data.size() - pos)
                                               : data.size() - pos;
    if (piece == 0 && ++emptyUpdates > 16)
      piece = data.size() - pos;
    uint64_t need = 99999;
    FUZZ_CHECK(update(data.data() + pos, piece, nullptr, &need) == SK_CKR_OK);
    FUZZ_CHECK(need <= piece + m.blockSize);
    if (need > 0 && input.ConsumeBool()) {
      uint64_t small = need - 1;
      FUZZ_CHECK(update(data.data() + pos, piece, out.data() + produced, &small) == SK_CKR_BUFFER_TOO_SMALL);
      FUZZ_CHECK(small == need);
    }
    uint64_t room = need;
    FUZZ_CHECK(update(data.data() + pos, piece, out.data() + produced, &room) == SK_CKR_OK);
    FUZZ_CHECK(room == need);
    produced += room;
    pos += piece;
  }
  uint64_t room = out.size() - produced;
  int code = encrypt ? SK_EncryptFinal(&ctx, out.data() + produced, &room)
                     : SK_DecryptFinal(&ctx, out.data() + produced, &room);
  if (code == SK_CKR_OK) {
    produced += room;
    // A finished operation leaves nothing of the key behind.
    SK_CipherContext zero;
    memset(&zero, 0, sizeof(zero));
    FUZZ_CHECK(memcmp(&ctx, &zero, sizeof(ctx)) == 0);
  } else {
    secureWipe(&ctx, sizeof(ctx));
  }
  out.resize(produced);
  return {code, out};
}

static void engine(FuzzedDataProvider& input) {
  const Mechanism& m = input.PickValueInArray(kMechanisms);
  bool encrypt = input.ConsumeBool();
  size_t keyLength;
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: keyLength = input.ConsumeIntegralInRange<size_t>(0, 300); break;
    case 1: keyLength = 8; break;
    case 2: keyLength = 16; break;
    default: keyLength = m.blockSize == 1 ? input.ConsumeIntegralInRange<size_t>(1, 256) : 24 + 8 * (m.aes && input.ConsumeBool());
  }
  Bytes key = input.ConsumeBytes<uint8_t>(keyLength);
  key.resize(keyLength);
  uint8_t iv[16] = {0};
  Bytes ivBytes = input.ConsumeBytes<uint8_t>(16);
  std::copy(ivBytes.begin(), ivBytes.end(), iv);
  Bytes data = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 4096));

  SK_CipherContext probe;
  memset(&probe, 0, sizeof(probe));
  int init = encrypt ? SK_EncryptInit(&probe, m.number, key.data(), key.size())
                     : SK_DecryptInit(&probe, m.number, key.data(), key.size());
  secureWipe(&probe, sizeof(probe));
  if (!keyLengthValid(m, keyLength)) {
    FUZZ_CHECK(init == SK_CKR_KEY_SIZE_RANGE);
    return;
  }
  FUZZ_CHECK(init == SK_CKR_OK);

  Outcome got = throughEngine(input, encrypt, m, key, iv, data);
  size_t whole = data.size() - data.size() % m.blockSize;
  Bytes blocks(data.begin(), data.begin() + whole);
  if (encrypt) {
    if (m.padded) {
      Bytes padded = data;
      size_t p = m.blockSize - data.size() % m.blockSize;
      padded.insert(padded.end(), p, (uint8_t)p);
      FUZZ_CHECK(got.finalCode == SK_CKR_OK);
      FUZZ_CHECK(got.output == reference(true, m, key, iv, padded));
    } else {
      FUZZ_CHECK(got.finalCode == (whole == data.size() ? SK_CKR_OK : SK_CKR_DATA_LEN_RANGE));
      FUZZ_CHECK(got.output == reference(true, m, key, iv, blocks));
    }
    return;
  }
  Bytes plain = reference(false, m, key, iv, blocks);
  if (!m.padded) {
    FUZZ_CHECK(got.finalCode == (whole == data.size() ? SK_CKR_OK : SK_CKR_DATA_LEN_RANGE));
    FUZZ_CHECK(got.output == plain);
    return;
  }
  if (data.empty() || whole != data.size()) {
    FUZZ_CHECK(got.finalCode == SK_CKR_ENCRYPTED_DATA_LEN_RANGE);
    return;
  }
  unsigned p = plain.back();
  bool good = p >= 1 && p <= m.blockSize;
  for (size_t i = plain.size() - (good ? p : 0); i < plain.size(); i++)
    good = good && plain[i] == p;
  if (!good) {
    FUZZ_CHECK(got.finalCode == SK_CKR_ENCRYPTED_DATA_INVALID);
    return;
  }
  FUZZ_CHECK(got.finalCode == SK_CKR_OK);
  plain.resize(plain.size() - p);
  FUZZ_CHECK(got.output == plain);
}

static void sealing(FuzzedDataProvider& input) {
  uint8_t key[32] = {0}, iv[16] = {0};
  Bytes k = input.ConsumeBytes<uint8_t>(32), v = input.ConsumeBytes<uint8_t>(16);
  std::copy(k.begin(), k.end(), key);
  std::copy(v.begin(), v.end(), iv);
  std::string text = input.ConsumeRandomLengthString(2048);
  text.resize(strnlen(text.c_str(), text.size()));

  unsigned long sealedLength = 0;
  unsigned char* sealed = AES256_Encrypt_CBC((const unsigned char*)text.c_str(), key, iv, &sealedLength);
  FUZZ_CHECK(sealed != nullptr);
  size_t l = 15 + text.size();
  FUZZ_CHECK(sealedLength == 16 * ((l + 1) / 16 + 1));
  int openedLength = 0;
  unsigned char* opened = AES256_Decrypt_CBC(sealed, sealedLength, key, iv, openedLength);
  FUZZ_CHECK(opened != nullptr);
  FUZZ_CHECK(openedLength == (int)text.size() + 16);
  FUZZ_CHECK(text == (const char*)opened);
  free(opened);
  free(sealed);

  // Any bytes: opened or refused, never more.
  Bytes any = input.ConsumeRemainingBytes<uint8_t>();
  unsigned char* junk = AES256_Decrypt_CBC(any.data(), any.size(), key, iv, openedLength);
  if (junk != nullptr) {
    FUZZ_CHECK(openedLength >= 0 && (size_t)openedLength <= any.size());
    free(junk);
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  KestrovanFuzz_quietTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
    sealing(input);
  else
    engine(input);
  return 0;
}
