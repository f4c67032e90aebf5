// SPDX-License-Identifier: Apache-2.0
// Differential test against nettle, an independent implementation: for every
// mechanism and key length, random keys, IVs and plaintexts go through the
// engine in random-sized update pieces (with size queries and short buffers
// on the way) and must match nettle's output; the engine must also decrypt
// nettle's ciphertext back to the plaintext.
#include <gtest/gtest.h>
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include <algorithm>
#include <random>

#include "crypto/cipher.h"
#include "crypto_test_util.h"

namespace {

struct MechanismCase {
  const char* name;
  uint64_t mechanism;
  unsigned keyLength;  // 0: RC4 with a random length of 1 to 256 bytes
  unsigned blockSize;
  bool padded;
};

const MechanismCase kCases[] = {
    {"Rc4", SK_CKM_RC4, 0, 1, false},
    {"Rc4_Key5", SK_CKM_RC4, 5, 1, false},
    {"DesEcb", SK_CKM_DES_ECB, 8, 8, false},
    {"DesCbc", SK_CKM_DES_CBC, 8, 8, false},
    {"DesCbcPad", SK_CKM_DES_CBC_PAD, 8, 8, true},
    {"Des3Ecb_TwoKey", SK_CKM_DES3_ECB, 16, 8, false},
    {"Des3Ecb_ThreeKey", SK_CKM_DES3_ECB, 24, 8, false},
    {"Des3Cbc_TwoKey", SK_CKM_DES3_CBC, 16, 8, false},
    {"Des3Cbc_ThreeKey", SK_CKM_DES3_CBC, 24, 8, false},
    {"Des3CbcPad_TwoKey", SK_CKM_DES3_CBC_PAD, 16, 8, true},
    {"Des3CbcPad_ThreeKey", SK_CKM_DES3_CBC_PAD, 24, 8, true},
    {"DesEcbNumber_ThreeKey", SK_CKM_DES_ECB, 24, 8, false},  // the key length picks the variant
    {"Des3CbcNumber_OneKey", SK_CKM_DES3_CBC, 8, 8, false},
    {"AesEcb128", SK_CKM_AES_ECB, 16, 16, false},
    {"AesEcb192", SK_CKM_AES_ECB, 24, 16, false},
    {"AesEcb256", SK_CKM_AES_ECB, 32, 16, false},
    {"AesCbc128", SK_CKM_AES_CBC, 16, 16, false},
    {"AesCbc192", SK_CKM_AES_CBC, 24, 16, false},
    {"AesCbc256", SK_CKM_AES_CBC, 32, 16, false},
    {"AesCbcPad128", SK_CKM_AES_CBC_PAD, 16, 16, true},
    {"AesCbcPad192", SK_CKM_AES_CBC_PAD, 24, 16, true},
    {"AesCbcPad256", SK_CKM_AES_CBC_PAD, 32, 16, true},
};

bool isCbc(uint64_t m) {
  return m == SK_CKM_DES_CBC || m == SK_CKM_DES_CBC_PAD || m == SK_CKM_DES3_CBC || m == SK_CKM_DES3_CBC_PAD ||
         m == SK_CKM_AES_CBC || m == SK_CKM_AES_CBC_PAD;
}

// nettle's cipher functions with the exact type its CBC helper calls.
void desEnc(const void* c, size_t n, uint8_t* d, const uint8_t* s) {
  des_encrypt(static_cast<const des_ctx*>(c), n, d, s);
}
void des3Enc(const void* c, size_t n, uint8_t* d, const uint8_t* s) {
  des3_encrypt(static_cast<const des3_ctx*>(c), n, d, s);
}
void aes128Enc(const void* c, size_t n, uint8_t* d, const uint8_t* s) {
  aes128_encrypt(static_cast<const aes128_ctx*>(c), n, d, s);
}
void aes192Enc(const void* c, size_t n, uint8_t* d, const uint8_t* s) {
  aes192_encrypt(static_cast<const aes192_ctx*>(c), n, d, s);
}
void aes256Enc(const void* c, size_t n, uint8_t* d, const uint8_t* s) {
  aes256_encrypt(static_cast<const aes256_ctx*>(c), n, d, s);
}

// nettle's encryption of plain (padded first for the padded mechanisms).
Bytes reference(const MechanismCase& mc, const Bytes& key, const Bytes& ivIn, Bytes plain) {
  if (mc.padded) {
    size_t p = mc.blockSize - plain.size() % mc.blockSize;
    plain.insert(plain.end(), p, static_cast<uint8_t>(p));
  }
  Bytes out(plain.size());
  Bytes iv = ivIn;
  if (mc.mechanism == SK_CKM_RC4) {
    arcfour_ctx c;
    arcfour_set_key(&c, key.size(), key.data());
    arcfour_crypt(&c, plain.size(), out.data(), plain.data());
    return out;
  }
  des_ctx d;
  des3_ctx d3;
  aes128_ctx a128;
  aes192_ctx a192;
  aes256_ctx a256;
  const void* ctx = nullptr;
  nettle_cipher_func* f = nullptr;
  if (mc.blockSize == 8) {
    if (key.size() == 8) {
      EXPECT_EQ(des_set_key(&d, key.data()), 1);
      ctx = &d;
      f = desEnc;
    } else {
      Bytes k3 = key;
      if (k3.size() == 16) k3.insert(k3.end(), key.begin(), key.begin() + 8);  // K1, K2, K1
      EXPECT_EQ(des3_set_key(&d3, k3.data()), 1);
      ctx = &d3;
      f = des3Enc;
    }
  } else if (key.size() == 16) {
    aes128_set_encrypt_key(&a128, key.data());
    ctx = &a128;
    f = aes128Enc;
  } else if (key.size() == 24) {
    aes192_set_encrypt_key(&a192, key.data());
    ctx = &a192;
    f = aes192Enc;
  } else {
    aes256_set_encrypt_key(&a256, key.data());
    ctx = &a256;
    f = aes256Enc;
  }
  if (isCbc(mc.mechanism))
    cbc_encrypt(ctx, f, mc.blockSize, iv.data(), plain.size(), out.data(), plain.data());
  else
    f(ctx, plain.size(), out.data(), plain.data());
  return out;
}

// Runs one whole operation through the engine, cutting the input into random
// pieces; every update first asks for its size, sometimes offers one byte too
// little room, and then runs with exactly the room it asked for.
Bytes throughEngine(bool encrypt, const MechanismCase& mc, const Bytes& key, const Bytes& iv, const Bytes& input,
                    std::mt19937_64& rng) {
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  int rv = encrypt ? SK_EncryptInit(&ctx, mc.mechanism, key.data(), key.size())
                   : SK_DecryptInit(&ctx, mc.mechanism, key.data(), key.size());
  EXPECT_EQ(rv, 0);
  if (!iv.empty()) memcpy(ctx.chain, iv.data(), iv.size());
  auto update = [&](const uint8_t* in, uint64_t n, uint8_t* out, uint64_t* room) {
    return encrypt ? SK_EncryptUpdate(&ctx, in, n, out, room) : SK_DecryptUpdate(&ctx, in, n, out, room);
  };
  auto final = [&](uint8_t* out, uint64_t* room) {
    return encrypt ? SK_EncryptFinal(&ctx, out, room) : SK_DecryptFinal(&ctx, out, room);
  };
  Bytes out(input.size() + 2 * mc.blockSize);
  size_t pos = 0, produced = 0;
  while (pos < input.size()) {
    size_t left = input.size() - pos;
    size_t piece;
    switch (rng() % 4) {
      case 0: piece = rng() % (left + 1); break;
      case 1: piece = std::min<size_t>(left, rng() % 3); break;  // zero, one or two bytes
      default: piece = std::min<size_t>(left, rng() % (3 * mc.blockSize + 1)); break;
    }
    uint64_t need = 99999;
    EXPECT_EQ(update(input.data() + pos, piece, nullptr, &need), 0);
    if (need > 0 && rng() % 4 == 0) {
      uint64_t small = need - 1;
      EXPECT_EQ(update(input.data() + pos, piece, out.data() + produced, &small), SK_CKR_BUFFER_TOO_SMALL);
      EXPECT_EQ(small, need);
    }
    uint64_t room = need;
    EXPECT_EQ(update(input.data() + pos, piece, out.data() + produced, &room), 0);
    EXPECT_EQ(room, need);
    produced += room;
    pos += piece;
  }
  if (mc.padded) {
    uint64_t need = 99999;
    EXPECT_EQ(final(nullptr, &need), 0);
    EXPECT_EQ(need, mc.blockSize);
    uint64_t room = out.size() - produced;
    EXPECT_EQ(final(out.data() + produced, &room), 0);
    produced += room;
  } else {
    // Without padding the final writes nothing and ends the operation,
    // output pointer or not.
    uint64_t room = 99999;
    EXPECT_EQ(final(rng() % 2 ? nullptr : out.data() + produced, &room), 0);
    EXPECT_EQ(room, 0u);
  }
  out.resize(produced);
  // A successful final leaves nothing of the key behind.
  SK_CipherContext zero;
  memset(&zero, 0, sizeof(zero));
  EXPECT_EQ(memcmp(&ctx, &zero, sizeof(ctx)), 0);
  return out;
}

class AgainstNettle : public testing::TestWithParam<MechanismCase> {};

TEST_P(AgainstNettle, RandomKeysLengthsAndPieces) {
  const MechanismCase& mc = GetParam();
  std::mt19937_64 rng(0x4b65737472ull ^ mc.mechanism ^ (uint64_t{mc.keyLength} << 32));
  for (int trial = 0; trial < 300; trial++) {
    unsigned keyLength = mc.keyLength ? mc.keyLength : 1 + rng() % 256;
    Bytes key(keyLength), iv(mc.blockSize == 1 ? 0 : mc.blockSize);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    for (auto& b : iv) b = static_cast<uint8_t>(rng());
    size_t length = trial % 50 == 49 ? 20000 + rng() % 50000 : rng() % 600;
    if (!mc.padded) length -= length % mc.blockSize;
    Bytes plain(length);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());

    Bytes expected = reference(mc, key, iv, plain);
    Bytes sealed = throughEngine(true, mc, key, iv, plain, rng);
    ASSERT_EQ(toHex(sealed), toHex(expected)) << "trial " << trial << " length " << length;
    Bytes opened = throughEngine(false, mc, key, iv, expected, rng);
    ASSERT_EQ(toHex(opened), toHex(plain)) << "trial " << trial << " length " << length;
  }
}

// Whole-block updates may run in place; CBC decryption in place must read
// each ciphertext block before its plaintext overwrites it.
TEST_P(AgainstNettle, InPlaceWholeBlocks) {
  const MechanismCase& mc = GetParam();
  std::mt19937_64 rng(99 + mc.mechanism);
  for (int trial = 0; trial < 40; trial++) {
    unsigned keyLength = mc.keyLength ? mc.keyLength : 1 + rng() % 256;
    Bytes key(keyLength), iv(mc.blockSize == 1 ? 0 : mc.blockSize);
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    for (auto& b : iv) b = static_cast<uint8_t>(rng());
    size_t blocks = 1 + rng() % 40;
    Bytes plain(blocks * mc.blockSize);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    Bytes expected = reference(mc, key, iv, plain);

    SK_CipherContext ctx;
    memset(&ctx, 0, sizeof(ctx));
    ASSERT_EQ(SK_EncryptInit(&ctx, mc.mechanism, key.data(), key.size()), 0);
    if (!iv.empty()) memcpy(ctx.chain, iv.data(), iv.size());
    Bytes buf = plain;
    uint64_t n = buf.size();
    ASSERT_EQ(SK_EncryptUpdate(&ctx, buf.data(), buf.size(), buf.data(), &n), 0);
    ASSERT_EQ(n, buf.size());
    Bytes tail(mc.blockSize);
    uint64_t t = tail.size();
    ASSERT_EQ(SK_EncryptFinal(&ctx, tail.data(), &t), 0);
    buf.insert(buf.end(), tail.begin(), tail.begin() + t);
    ASSERT_EQ(toHex(buf), toHex(expected));

    memset(&ctx, 0, sizeof(ctx));
    ASSERT_EQ(SK_DecryptInit(&ctx, mc.mechanism, key.data(), key.size()), 0);
    if (!iv.empty()) memcpy(ctx.chain, iv.data(), iv.size());
    n = buf.size();
    ASSERT_EQ(SK_DecryptUpdate(&ctx, buf.data(), buf.size(), buf.data(), &n), 0);
    t = tail.size();
    ASSERT_EQ(SK_DecryptFinal(&ctx, tail.data(), &t), 0);
    buf.resize(n);
    buf.insert(buf.end(), tail.begin(), tail.begin() + t);
    ASSERT_EQ(toHex(buf), toHex(plain));
  }
}

INSTANTIATE_TEST_SUITE_P(AllMechanisms, AgainstNettle, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<MechanismCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
