// SPDX-License-Identifier: Apache-2.0
// The engine's calling contract: return codes, size queries, the padded
// hold-back, padding checks, the variant chosen by key length, and the
// wiping (or keeping) of the context.
#include <gtest/gtest.h>

#include "crypto/cipher.h"
#include "crypto/cores.h"
#include "crypto_test_util.h"

namespace {

const Bytes kKey32 = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kIv16 = fromHex("000102030405060708090a0b0c0d0e0f");

SK_CipherContext zeroContext() {
  SK_CipherContext c;
  memset(&c, 0, sizeof(c));
  return c;
}

bool isAllZero(const SK_CipherContext& c) {
  SK_CipherContext z = zeroContext();
  return memcmp(&c, &z, sizeof(c)) == 0;
}

// --- init ---------------------------------------------------------------

struct InitCase {
  const char* name;
  uint64_t mechanism;
  uint64_t keyLength;
  int expected;
};

const InitCase kInitCases[] = {
    {"UnknownAesNumber", 4230, 32, SK_CKR_MECHANISM_INVALID},
    {"UnknownDesNumber", 291, 8, SK_CKR_MECHANISM_INVALID},
    {"Zero", 0, 16, SK_CKR_MECHANISM_INVALID},
    {"Rc4EmptyKey", SK_CKM_RC4, 0, SK_CKR_KEY_SIZE_RANGE},
    {"Rc4OneByte", SK_CKM_RC4, 1, SK_CKR_OK},
    {"Rc4LongKey", SK_CKM_RC4, 300, SK_CKR_OK},
    {"Des7", SK_CKM_DES_CBC, 7, SK_CKR_KEY_SIZE_RANGE},
    {"Des8", SK_CKM_DES_CBC, 8, SK_CKR_OK},
    {"Des9", SK_CKM_DES_ECB, 9, SK_CKR_KEY_SIZE_RANGE},
    {"Des12", SK_CKM_DES3_CBC, 12, SK_CKR_KEY_SIZE_RANGE},
    {"Des16", SK_CKM_DES3_ECB, 16, SK_CKR_OK},
    {"Des17", SK_CKM_DES3_ECB, 17, SK_CKR_KEY_SIZE_RANGE},
    {"Des23", SK_CKM_DES3_CBC_PAD, 23, SK_CKR_KEY_SIZE_RANGE},
    {"Des24", SK_CKM_DES3_CBC_PAD, 24, SK_CKR_OK},
    {"Des25", SK_CKM_DES3_CBC_PAD, 25, SK_CKR_KEY_SIZE_RANGE},
    {"Des32", SK_CKM_DES_CBC_PAD, 32, SK_CKR_KEY_SIZE_RANGE},
    {"Aes0", SK_CKM_AES_CBC, 0, SK_CKR_KEY_SIZE_RANGE},
    {"Aes15", SK_CKM_AES_CBC, 15, SK_CKR_KEY_SIZE_RANGE},
    {"Aes16", SK_CKM_AES_CBC, 16, SK_CKR_OK},
    {"Aes17", SK_CKM_AES_ECB, 17, SK_CKR_KEY_SIZE_RANGE},
    {"Aes20", SK_CKM_AES_ECB, 20, SK_CKR_KEY_SIZE_RANGE},
    {"Aes24", SK_CKM_AES_ECB, 24, SK_CKR_OK},
    {"Aes31", SK_CKM_AES_CBC_PAD, 31, SK_CKR_KEY_SIZE_RANGE},
    {"Aes32", SK_CKM_AES_CBC_PAD, 32, SK_CKR_OK},
    {"Aes33", SK_CKM_AES_CBC_PAD, 33, SK_CKR_KEY_SIZE_RANGE},
    {"Aes64", SK_CKM_AES_CBC_PAD, 64, SK_CKR_KEY_SIZE_RANGE},
};

class InitCodes : public testing::TestWithParam<InitCase> {};

TEST_P(InitCodes, BothDirections) {
  const InitCase& c = GetParam();
  Bytes key(c.keyLength + 1, 0x5a);
  for (bool encrypt : {true, false}) {
    SK_CipherContext ctx = zeroContext();
    int rv = encrypt ? SK_EncryptInit(&ctx, c.mechanism, key.data(), c.keyLength)
                     : SK_DecryptInit(&ctx, c.mechanism, key.data(), c.keyLength);
    EXPECT_EQ(rv, c.expected) << (encrypt ? "encrypt" : "decrypt");
    if (rv == SK_CKR_OK) {
      EXPECT_EQ(ctx.mechanism, c.mechanism);
      EXPECT_NE(ctx.blockSize, 0u);
    } else {
      // A rejected init leaves a context that every later call refuses.
      EXPECT_EQ(ctx.mechanism, 0u);
      uint8_t in[16] = {0}, out[32];
      uint64_t n = sizeof(out);
      EXPECT_EQ(SK_EncryptUpdate(&ctx, in, 16, out, &n), SK_CKR_OPERATION_NOT_INITIALIZED);
      EXPECT_EQ(SK_EncryptFinal(&ctx, out, &n), SK_CKR_OPERATION_NOT_INITIALIZED);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, InitCodes, testing::ValuesIn(kInitCases),
                         [](const testing::TestParamInfo<InitCase>& i) { return std::string(i.param.name); });

TEST(Init, RejectsNullContextAndNullKey) {
  EXPECT_EQ(SK_EncryptInit(nullptr, SK_CKM_AES_CBC, kKey32.data(), 32), SK_CKR_ARGUMENTS_BAD);
  SK_CipherContext ctx = zeroContext();
  EXPECT_EQ(SK_DecryptInit(&ctx, SK_CKM_AES_CBC, nullptr, 32), SK_CKR_ARGUMENTS_BAD);
  EXPECT_EQ(ctx.blockSize, 0u);
}

TEST(Init, RejectedInitOfAUsedContextDropsItsKey) {
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC, kKey32.data(), 32), 0);
  EXPECT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC, kKey32.data(), 20), SK_CKR_KEY_SIZE_RANGE);
  for (uint32_t w : ctx.keySchedule) ASSERT_EQ(w, 0u);
  EXPECT_EQ(ctx.blockSize, 0u);
}

TEST(Init, KeepsBufferedCountAndChainingValue) {
  SK_CipherContext ctx = zeroContext();
  memcpy(ctx.chain, kIv16.data(), 16);
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  EXPECT_EQ(memcmp(ctx.chain, kIv16.data(), 16), 0);
  EXPECT_EQ(ctx.buffered, 0u);
  EXPECT_EQ(ctx.scheduleSize, 60u);
  EXPECT_EQ(ctx.blockSize, 16u);
  EXPECT_EQ(ctx.holdBack, 0u);
  SK_CipherContext d = zeroContext();
  ASSERT_EQ(SK_DecryptInit(&d, SK_CKM_AES_CBC_PAD, kKey32.data(), 16), 0);
  EXPECT_EQ(d.scheduleSize, 44u);
  EXPECT_EQ(d.holdBack, 1u);
  ASSERT_EQ(SK_DecryptInit(&d, SK_CKM_DES3_CBC, kKey32.data(), 16), 0);
  EXPECT_EQ(d.scheduleSize, 64u);
  EXPECT_EQ(d.blockSize, 8u);
  EXPECT_EQ(d.holdBack, 0u);
}

// --- the key length picks the DES variant --------------------------------

TEST(DesVariant, SixteenByteKeyWithDesNumberIsTwoKeyTripleDes) {
  Bytes key = fromHex("0123456789abcdef fedcba9876543210");
  Bytes plain = fromHex("0011223344556677 8899aabbccddeeff");
  int rv;
  Bytes viaDes = runOnce(true, SK_CKM_DES_ECB, key, {}, plain, &rv);
  ASSERT_EQ(rv, 0);
  Bytes three = key;
  three.insert(three.end(), key.begin(), key.begin() + 8);  // K1, K2, K1
  Bytes viaDes3 = runOnce(true, SK_CKM_DES3_ECB, three, {}, plain, &rv);
  ASSERT_EQ(rv, 0);
  EXPECT_EQ(toHex(viaDes), toHex(viaDes3));
  Bytes single = runOnce(true, SK_CKM_DES_ECB, Bytes(key.begin(), key.begin() + 8), {}, plain, &rv);
  EXPECT_NE(toHex(viaDes), toHex(single));
}

TEST(DesVariant, EightByteKeyWithDes3NumberIsSingleDesCbc) {
  // FIPS 81 CBC example.
  int rv;
  Bytes out = runOnce(true, SK_CKM_DES3_CBC, fromHex("0123456789abcdef"), fromHex("1234567890abcdef"),
                      fromHex("4e6f772069732074 68652074696d6520 666f7220616c6c20"), &rv);
  ASSERT_EQ(rv, 0);
  EXPECT_EQ(toHex(out), "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
}

// --- update -----------------------------------------------------------------

TEST(Update, ArgumentCodes) {
  SK_CipherContext ctx = zeroContext();
  uint8_t in[16] = {0}, out[16];
  uint64_t n = sizeof(out);
  EXPECT_EQ(SK_EncryptUpdate(nullptr, in, 16, out, &n), SK_CKR_ARGUMENTS_BAD);
  EXPECT_EQ(SK_DecryptUpdate(&ctx, in, 16, out, nullptr), SK_CKR_ARGUMENTS_BAD);
  // Empty input succeeds with a count of 0, even null and uninitialised.
  n = 77;
  EXPECT_EQ(SK_EncryptUpdate(&ctx, nullptr, 0, nullptr, &n), SK_CKR_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SK_DecryptUpdate(&ctx, nullptr, 5, out, &n), SK_CKR_DATA_INVALID);
  n = sizeof(out);
  EXPECT_EQ(SK_EncryptUpdate(&ctx, in, 16, out, &n), SK_CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(SK_DecryptUpdate(&ctx, in, 16, out, &n), SK_CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Update, SizeQueryAndShortRoomConsumeNothing) {
  Bytes plain(40, 0x33);
  int rv;
  Bytes expected = runOnce(true, SK_CKM_AES_CBC_PAD, kKey32, kIv16, plain, &rv);
  ASSERT_EQ(rv, 0);

  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  memcpy(ctx.chain, kIv16.data(), 16);
  Bytes out(64);
  uint64_t n = 0;
  EXPECT_EQ(SK_EncryptUpdate(&ctx, plain.data(), 40, nullptr, &n), SK_CKR_OK);
  EXPECT_EQ(n, 32u);
  n = 31;
  EXPECT_EQ(SK_EncryptUpdate(&ctx, plain.data(), 40, out.data(), &n), SK_CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 32u);
  EXPECT_EQ(ctx.buffered, 0u);
  n = out.size();
  ASSERT_EQ(SK_EncryptUpdate(&ctx, plain.data(), 40, out.data(), &n), SK_CKR_OK);
  ASSERT_EQ(n, 32u);
  uint64_t m = 0;
  EXPECT_EQ(SK_EncryptFinal(&ctx, nullptr, &m), SK_CKR_OK);
  EXPECT_EQ(m, 16u);
  m = 15;
  EXPECT_EQ(SK_EncryptFinal(&ctx, out.data() + 32, &m), SK_CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(m, 16u);
  m = 16;
  ASSERT_EQ(SK_EncryptFinal(&ctx, out.data() + 32, &m), SK_CKR_OK);
  out.resize(48);
  EXPECT_EQ(toHex(out), toHex(expected));
}

TEST(Update, PaddedThirtyTwoBytesGiveTwoBlocksThenAPaddingBlock) {
  Bytes plain(32, 0xa5);
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  memcpy(ctx.chain, kIv16.data(), 16);
  Bytes out(48);
  uint64_t n = out.size();
  ASSERT_EQ(SK_EncryptUpdate(&ctx, plain.data(), 32, out.data(), &n), 0);
  EXPECT_EQ(n, 32u);
  uint64_t m = 16;
  ASSERT_EQ(SK_EncryptFinal(&ctx, out.data() + 32, &m), 0);
  EXPECT_EQ(m, 16u);
  // The last block is sixteen bytes of 0x10 under CBC.
  int rv;
  Bytes raw = runOnce(false, SK_CKM_AES_CBC, kKey32, kIv16, out, &rv);
  ASSERT_EQ(rv, 0);
  EXPECT_EQ(toHex(Bytes(raw.begin() + 32, raw.end())), toHex(Bytes(16, 0x10)));
}

TEST(Update, PaddedFifteenBytesGiveOneBlockEndingInOne) {
  Bytes plain(15, 0x41);
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  Bytes out(16);
  uint64_t n = out.size();
  ASSERT_EQ(SK_EncryptUpdate(&ctx, plain.data(), 15, out.data(), &n), 0);
  EXPECT_EQ(n, 0u);
  uint64_t m = 16;
  ASSERT_EQ(SK_EncryptFinal(&ctx, out.data(), &m), 0);
  EXPECT_EQ(m, 16u);
  int rv;
  Bytes raw = runOnce(false, SK_CKM_AES_CBC, kKey32, Bytes(16, 0), out, &rv);
  ASSERT_EQ(rv, 0);
  Bytes want = plain;
  want.push_back(0x01);
  EXPECT_EQ(toHex(raw), toHex(want));
}

TEST(Update, PaddedDecryptionHoldsBackTheLastBlock) {
  int rv;
  Bytes plain = fromText("fifteen bytes!!");  // 15 bytes: one sealed block
  Bytes sealed = runOnce(true, SK_CKM_AES_CBC_PAD, kKey32, kIv16, plain, &rv);
  ASSERT_EQ(sealed.size(), 16u);
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_DecryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  memcpy(ctx.chain, kIv16.data(), 16);
  Bytes out(16);
  uint64_t n = 99;
  EXPECT_EQ(SK_DecryptUpdate(&ctx, sealed.data(), 16, nullptr, &n), 0);
  EXPECT_EQ(n, 0u);
  n = out.size();
  ASSERT_EQ(SK_DecryptUpdate(&ctx, sealed.data(), 16, out.data(), &n), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ctx.buffered, 16u);
  uint64_t m = out.size();
  ASSERT_EQ(SK_DecryptFinal(&ctx, out.data(), &m), 0);
  EXPECT_EQ(m, 15u);
  out.resize(m);
  EXPECT_EQ(toHex(out), toHex(plain));
}

// --- final --------------------------------------------------------------

// Builds a decryption context for AES-CBC-PAD holding one block that
// decrypts (with a zero IV) to the given last bytes after 0x61 filler.
SK_CipherContext contextWithLastBlock(const Bytes& tail) {
  Bytes block(16, 0x61);
  std::copy(tail.begin(), tail.end(), block.end() - tail.size());
  int rv;
  Bytes c = runOnce(true, SK_CKM_AES_CBC, kKey32, Bytes(16, 0), block, &rv);
  EXPECT_EQ(rv, 0);
  SK_CipherContext ctx = zeroContext();
  EXPECT_EQ(SK_DecryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  uint64_t n = 16;
  uint8_t out[16];
  EXPECT_EQ(SK_DecryptUpdate(&ctx, c.data(), 16, out, &n), 0);
  return ctx;
}

struct PaddingCase {
  const char* name;
  const char* tail;
  int expected;
  uint64_t length;  // count on success
};

const PaddingCase kPaddingCases[] = {
    {"One", "01", SK_CKR_OK, 15},
    {"Two", "0202", SK_CKR_OK, 14},
    {"WholeBlock", "10101010101010101010101010101010", SK_CKR_OK, 0},
    {"LastByteAboveBlockSize", "11", SK_CKR_ENCRYPTED_DATA_INVALID, 0},
    {"LastByteFF", "ff", SK_CKR_ENCRYPTED_DATA_INVALID, 0},
    {"MismatchedPair", "0203", SK_CKR_ENCRYPTED_DATA_INVALID, 0},
    {"ByteBeforePaddingIsData", "0504040404", SK_CKR_OK, 12},
    {"MismatchedInside", "0404030404", SK_CKR_ENCRYPTED_DATA_INVALID, 0},
    {"ZeroIsNotPadding", "00", SK_CKR_ENCRYPTED_DATA_INVALID, 0},
};

class PaddingCheck : public testing::TestWithParam<PaddingCase> {};

TEST_P(PaddingCheck, DecryptFinal) {
  const PaddingCase& c = GetParam();
  SK_CipherContext ctx = contextWithLastBlock(fromHex(c.tail));
  SK_CipherContext before = ctx;
  uint8_t out[16];
  memset(out, 0xee, sizeof(out));
  uint64_t m = sizeof(out);
  EXPECT_EQ(SK_DecryptFinal(&ctx, out, &m), c.expected);
  EXPECT_EQ(m, c.length);
  if (c.expected == SK_CKR_OK) {
    EXPECT_TRUE(isAllZero(ctx));
    Bytes block(16, 0x61);
    Bytes tail = fromHex(c.tail);
    std::copy(tail.begin(), tail.end(), block.end() - tail.size());
    EXPECT_EQ(toHex(Bytes(out, out + m)), toHex(Bytes(block.begin(), block.begin() + m)));
  } else {
    // A failed final keeps the context and writes no unverified plaintext.
    EXPECT_EQ(memcmp(&ctx, &before, sizeof(ctx)), 0);
    EXPECT_EQ(toHex(Bytes(out, out + 16)), toHex(Bytes(16, 0xee)));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PaddingCheck, testing::ValuesIn(kPaddingCases),
                         [](const testing::TestParamInfo<PaddingCase>& i) { return std::string(i.param.name); });

TEST(Final, PaddedDecryptOfPartialBlockIsLengthRange) {
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_DecryptInit(&ctx, SK_CKM_AES_CBC_PAD, kKey32.data(), 32), 0);
  Bytes sealed(20, 0x11);
  uint8_t out[32];
  uint64_t n = sizeof(out);
  ASSERT_EQ(SK_DecryptUpdate(&ctx, sealed.data(), sealed.size(), out, &n), 0);
  EXPECT_EQ(n, 16u);
  SK_CipherContext before = ctx;
  uint64_t m = sizeof(out);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SK_DecryptFinal(&ctx, out, &m), SK_CKR_ENCRYPTED_DATA_LEN_RANGE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "p->Buse: 4\nbufsize: 16\n");
  EXPECT_EQ(memcmp(&ctx, &before, sizeof(ctx)), 0);

  // Nothing at all to decrypt is the same failure.
  SK_CipherContext empty = zeroContext();
  ASSERT_EQ(SK_DecryptInit(&empty, SK_CKM_DES3_CBC_PAD, kKey32.data(), 24), 0);
  m = sizeof(out);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SK_DecryptFinal(&empty, out, &m), SK_CKR_ENCRYPTED_DATA_LEN_RANGE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "p->Buse: 0\nbufsize: 8\n");
}

TEST(Final, UnpaddedWithBufferedBytesIsDataLengthRangeAndKeepsTheContext) {
  for (bool encrypt : {true, false}) {
    SK_CipherContext ctx = zeroContext();
    ASSERT_EQ(encrypt ? SK_EncryptInit(&ctx, SK_CKM_AES_ECB, kKey32.data(), 32)
                      : SK_DecryptInit(&ctx, SK_CKM_AES_ECB, kKey32.data(), 32),
              0);
    Bytes in(16, 0x42), out(16);
    uint64_t n = out.size();
    ASSERT_EQ(encrypt ? SK_EncryptUpdate(&ctx, in.data(), 3, out.data(), &n)
                      : SK_DecryptUpdate(&ctx, in.data(), 3, out.data(), &n),
              0);
    EXPECT_EQ(n, 0u);
    uint64_t m = 16;
    EXPECT_EQ(encrypt ? SK_EncryptFinal(&ctx, out.data(), &m) : SK_DecryptFinal(&ctx, out.data(), &m),
              SK_CKR_DATA_LEN_RANGE);
    EXPECT_EQ(ctx.buffered, 3u);
    // The operation can still be completed.
    n = out.size();
    ASSERT_EQ(encrypt ? SK_EncryptUpdate(&ctx, in.data() + 3, 13, out.data(), &n)
                      : SK_DecryptUpdate(&ctx, in.data() + 3, 13, out.data(), &n),
              0);
    EXPECT_EQ(n, 16u);
    m = 0;
    EXPECT_EQ(encrypt ? SK_EncryptFinal(&ctx, nullptr, &m) : SK_DecryptFinal(&ctx, nullptr, &m), SK_CKR_OK);
    EXPECT_EQ(m, 0u);
    EXPECT_TRUE(isAllZero(ctx));
  }
}

TEST(Final, ArgumentAndStateCodes) {
  SK_CipherContext ctx = zeroContext();
  uint8_t out[16];
  uint64_t m = 16;
  EXPECT_EQ(SK_EncryptFinal(nullptr, out, &m), SK_CKR_ARGUMENTS_BAD);
  EXPECT_EQ(SK_DecryptFinal(&ctx, out, nullptr), SK_CKR_ARGUMENTS_BAD);
  EXPECT_EQ(SK_EncryptFinal(&ctx, out, &m), SK_CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(SK_DecryptFinal(&ctx, out, &m), SK_CKR_OPERATION_NOT_INITIALIZED);
  // A block size with a number outside the table is not an operation.
  ctx.blockSize = 16;
  ctx.mechanism = 4230;
  EXPECT_EQ(SK_EncryptFinal(&ctx, out, &m), SK_CKR_OPERATION_NOT_INITIALIZED);
}

TEST(Final, SuccessWipesTheContextAndEndsTheOperation) {
  for (uint64_t mechanism : {SK_CKM_RC4, SK_CKM_DES3_CBC_PAD, SK_CKM_AES_CBC_PAD, SK_CKM_AES_ECB}) {
    SK_CipherContext ctx = zeroContext();
    ASSERT_EQ(SK_EncryptInit(&ctx, mechanism, kKey32.data(), mechanism == SK_CKM_DES3_CBC_PAD ? 24 : 32), 0);
    uint8_t in[32] = {1, 2, 3}, out[64];
    uint64_t n = sizeof(out);
    ASSERT_EQ(SK_EncryptUpdate(&ctx, in, 32, out, &n), 0);
    uint64_t m = sizeof(out);
    ASSERT_EQ(SK_EncryptFinal(&ctx, out, &m), 0);
    EXPECT_TRUE(isAllZero(ctx)) << mechanism;
    n = sizeof(out);
    EXPECT_EQ(SK_EncryptUpdate(&ctx, in, 32, out, &n), SK_CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(SK_EncryptFinal(&ctx, out, &m), SK_CKR_OPERATION_NOT_INITIALIZED);
  }
}

TEST(Final, PaddedSizeQueryDoesNotEndTheOperation) {
  SK_CipherContext ctx = zeroContext();
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_DES_CBC_PAD, kKey32.data(), 8), 0);
  uint64_t m = 0;
  EXPECT_EQ(SK_EncryptFinal(&ctx, nullptr, &m), SK_CKR_OK);
  EXPECT_EQ(m, 8u);
  EXPECT_EQ(ctx.blockSize, 8u);
  uint8_t out[8];
  m = sizeof(out);
  ASSERT_EQ(SK_EncryptFinal(&ctx, out, &m), SK_CKR_OK);
  EXPECT_EQ(m, 8u);  // an empty message still gets a whole padding block
}

// --- the cores directly ---------------------------------------------------

TEST(Cores, AesBlockRoundTripAndInverseSchedule) {
  for (uint64_t keyLength : {16u, 24u, 32u}) {
    uint32_t enc[60], dec[60];
    AESKeyE(enc, kKey32.data(), keyLength);
    memcpy(dec, enc, sizeof(enc));
    AESRev(dec, keyLength + 28);
    uint8_t block[16], out[16], back[16];
    for (int i = 0; i < 16; i++) block[i] = static_cast<uint8_t>(i * 7);
    AESBlockE(enc, keyLength + 28, block, out);
    AESBlockD(dec, keyLength + 28, out, back);
    EXPECT_EQ(memcmp(block, back, 16), 0) << keyLength;
    EXPECT_NE(memcmp(block, out, 16), 0);
  }
}

TEST(Cores, MemxorAndDesSchedules) {
  uint8_t a[5] = {1, 2, 3, 4, 5};
  const uint8_t b[5] = {1, 0, 0xff, 4, 0};
  memxor(a, b, 5);
  const uint8_t want[5] = {0, 2, 0xfc, 0, 5};
  EXPECT_EQ(memcmp(a, want, 5), 0);
  // The decryption schedule is the encryption schedule's rounds reversed.
  uint32_t e[32], d[32];
  DESEKey(e, kKey32.data());
  DESDKey(d, kKey32.data());
  for (int r = 0; r < 16; r++) {
    EXPECT_EQ(e[2 * r], d[2 * (15 - r)]);
    EXPECT_EQ(e[2 * r + 1], d[2 * (15 - r) + 1]);
  }
  uint8_t block[8] = {9, 8, 7, 6, 5, 4, 3, 2}, out[8], back[8];
  DESBlock(e, block, out);
  DESBlock(d, out, back);
  EXPECT_EQ(memcmp(block, back, 8), 0);
}

}  // namespace
