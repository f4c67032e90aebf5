// SPDX-License-Identifier: Apache-2.0
// Published known-answer vectors, run through the engine in both directions:
// FIPS 197 appendix C, SP 800-38A (ECB and CBC), the classic DES tables and
// FIPS 81 examples, the SP 800-67 triple-DES example, RFC 6229 and the
// well-known short RC4 vectors.
#include <gtest/gtest.h>

#include "crypto/cipher.h"
#include "crypto/cores.h"
#include "crypto_test_util.h"

namespace {

struct Vector {
  const char* name;
  uint64_t mechanism;
  const char* key;
  const char* iv;
  const char* plain;
  const char* cipher;
};

// SP 800-38A plaintext (four blocks), shared by its ECB and CBC examples.
#define SP38A_PLAIN                                                                         \
  "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"                       \
  "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710"

#define NOW_IS_THE_TIME "4e6f772069732074 68652074696d6520 666f7220616c6c20"  // "Now is the time for all "

const Vector kVectors[] = {
    // FIPS 197 appendix C
    {"Fips197_Aes128", SK_CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f", "", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"Fips197_Aes192", SK_CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f1011121314151617", "",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"Fips197_Aes256", SK_CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    // SP 800-38A F.1 (ECB) and F.2 (CBC)
    {"Sp38a_EcbAes128", SK_CKM_AES_ECB, "2b7e151628aed2a6abf7158809cf4f3c", "", SP38A_PLAIN,
     "3ad77bb40d7a3660a89ecaf32466ef97 f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed030688 7b0c785e27e8ad3f8223207104725dd4"},
    {"Sp38a_EcbAes192", SK_CKM_AES_ECB, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "", SP38A_PLAIN,
     "bd334f1d6e45f25ff712a214571fa5cc 974104846d0ad3ad7734ecb3ecee4eef"
     "ef7afd2270e2e60adce0ba2face6444e 9a4b41ba738d6c72fb16691603c18e0e"},
    {"Sp38a_EcbAes256", SK_CKM_AES_ECB, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", "",
     SP38A_PLAIN,
     "f3eed1bdb5d2a03c064b5a7e3db181f8 591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d 23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"Sp38a_CbcAes128", SK_CKM_AES_CBC, "2b7e151628aed2a6abf7158809cf4f3c", "000102030405060708090a0b0c0d0e0f",
     SP38A_PLAIN,
     "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
    {"Sp38a_CbcAes192", SK_CKM_AES_CBC, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "000102030405060708090a0b0c0d0e0f", SP38A_PLAIN,
     "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
    {"Sp38a_CbcAes256", SK_CKM_AES_CBC, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "000102030405060708090a0b0c0d0e0f", SP38A_PLAIN,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
    // DES: the textbook worked example, SP 800-17 variable-plaintext and
    // variable-key rows, and the FIPS 81 ECB and CBC examples.
    {"Des_Textbook", SK_CKM_DES_ECB, "133457799bbcdff1", "", "0123456789abcdef", "85e813540f0ab405"},
    {"Des_VariablePlaintext1", SK_CKM_DES_ECB, "0101010101010101", "", "8000000000000000", "95f8a5e5dd31d900"},
    {"Des_VariablePlaintext64", SK_CKM_DES_ECB, "0101010101010101", "", "0000000000000001", "166b40b44aba4bd6"},
    {"Des_VariableKey1", SK_CKM_DES_ECB, "8001010101010101", "", "0000000000000000", "95a8d72813daa94d"},
    {"Fips81_Ecb", SK_CKM_DES_ECB, "0123456789abcdef", "", NOW_IS_THE_TIME,
     "3fa40e8a984d4815 6a271787ab8883f9 893d51ec4b563b53"},
    {"Fips81_Cbc", SK_CKM_DES_CBC, "0123456789abcdef", "1234567890abcdef", NOW_IS_THE_TIME,
     "e5c7cdde872bf27c 43e934008c389c0f 683788499a7c05f6"},
    // Triple DES with three equal keys is single DES.
    {"Des3_EqualKeysAreDes", SK_CKM_DES3_ECB, "0123456789abcdef 0123456789abcdef 0123456789abcdef", "",
     NOW_IS_THE_TIME, "3fa40e8a984d4815 6a271787ab8883f9 893d51ec4b563b53"},
    {"Des3_TwoEqualKeysAreDes", SK_CKM_DES3_CBC, "0123456789abcdef 0123456789abcdef", "1234567890abcdef",
     NOW_IS_THE_TIME, "e5c7cdde872bf27c 43e934008c389c0f 683788499a7c05f6"},
    // SP 800-67 example ("The qufck brown fox jump", sic).
    {"Sp800_67_Des3Ecb", SK_CKM_DES3_ECB, "0123456789abcdef 23456789abcdef01 456789abcdef0123", "",
     "5468652071756663 6b2062726f776e20 666f78206a756d70", "a826fd8ce53b855f cce21c8112256fe6 68d5c05dd9b6b900"},
    // RC4: RFC 6229 (first 32 bytes of key stream) and the short classics.
    {"Rfc6229_Key40", SK_CKM_RC4, "0102030405", "", "00000000000000000000000000000000 00000000000000000000000000000000",
     "b2396305f03dc027ccc3524a0a1118a8 6982944f18fc82d589c403a47a0d0919"},
    {"Rfc6229_Key64", SK_CKM_RC4, "0102030405060708", "",
     "00000000000000000000000000000000 00000000000000000000000000000000",
     "97ab8a1bf0afb96132f2f67258da15a8 8263efdb45c4a18684ef87e6b19e5b09"},
    {"Rfc6229_Key128", SK_CKM_RC4, "0102030405060708090a0b0c0d0e0f10", "",
     "00000000000000000000000000000000 00000000000000000000000000000000",
     "9ac7cc9a609d1ef7b2932899cde41b97 5248c4959014126a6e8a84f11d1a9e1c"},
    {"Rc4_KeyPlaintext", SK_CKM_RC4, "4b6579", "", "506c61696e74657874", "bbf316e8d940af0ad3"},
    {"Rc4_WikiPedia", SK_CKM_RC4, "57696b69", "", "7065646961", "1021bf0420"},
    {"Rc4_SecretAttackAtDawn", SK_CKM_RC4, "536563726574", "", "41747461636b206174206461776e",
     "45a01f645fc35b383552544b9bf5"},
};

class KnownAnswer : public testing::TestWithParam<Vector> {};

TEST_P(KnownAnswer, EncryptsToThePublishedCiphertext) {
  const Vector& v = GetParam();
  int rv;
  Bytes out = runOnce(true, v.mechanism, fromHex(v.key), fromHex(v.iv), fromHex(v.plain), &rv);
  ASSERT_EQ(rv, 0);
  EXPECT_EQ(toHex(out), toHex(fromHex(v.cipher)));
}

TEST_P(KnownAnswer, DecryptsToThePublishedPlaintext) {
  const Vector& v = GetParam();
  int rv;
  Bytes out = runOnce(false, v.mechanism, fromHex(v.key), fromHex(v.iv), fromHex(v.cipher), &rv);
  ASSERT_EQ(rv, 0);
  EXPECT_EQ(toHex(out), toHex(fromHex(v.plain)));
}

INSTANTIATE_TEST_SUITE_P(Published, KnownAnswer, testing::ValuesIn(kVectors),
                         [](const testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

// The RFC 6229 vectors further into the stream: the key stream must carry
// on across updates (offsets 240 and 256 follow 240 bytes already used).
TEST(KnownAnswerRc4, StreamContinuesAcrossUpdates) {
  Bytes key = fromHex("0102030405");
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  ASSERT_EQ(SK_EncryptInit(&ctx, SK_CKM_RC4, key.data(), key.size()), 0);
  Bytes zeros(272, 0), out(272);
  uint64_t n = 0, total = 0;
  for (uint64_t piece : {1u, 15u, 100u, 124u, 32u}) {
    n = out.size() - total;
    ASSERT_EQ(SK_EncryptUpdate(&ctx, zeros.data() + total, piece, out.data() + total, &n), 0);
    ASSERT_EQ(n, piece);
    total += piece;
  }
  ASSERT_EQ(total, 272u);
  EXPECT_EQ(toHex(Bytes(out.begin() + 240, out.end())),
            toHex(fromHex("28cb1132c96ce286421dcaadb8b69eae 1cfcf62b03eddb641d77dfcf7f8d8c93")));
  EXPECT_EQ(toHex(Bytes(out.begin(), out.begin() + 16)), toHex(fromHex("b2396305f03dc027ccc3524a0a1118a8")));
}

// The FIPS 197 expansion of the AES-128 example key ends in this round key.
TEST(KnownAnswerAes, KeyExpansionLastRoundKey) {
  Bytes key = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
  uint32_t w[44];
  AESKeyE(w, key.data(), 16);
  // w[40..43] = d014f9a8 c9ee2589 e13f0cc8 b6630ca6 (big-endian words in
  // the standard, little-endian in the schedule).
  EXPECT_EQ(w[40], 0xa8f914d0u);
  EXPECT_EQ(w[41], 0x8925eec9u);
  EXPECT_EQ(w[42], 0xc80c3fe1u);
  EXPECT_EQ(w[43], 0xa60c63b6u);
}

}  // namespace
