// SPDX-License-Identifier: Apache-2.0
// Sealing and opening use only their arguments and the stack: several
// threads at once, each with its own key, must all get their own texts back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto.h"

TEST(SealThreads, ConcurrentSealAndOpen) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([t, &failures] {
      unsigned char key[32], iv[16];
      for (int i = 0; i < 32; i++) key[i] = static_cast<unsigned char>(t * 31 + i);
      for (int i = 0; i < 16; i++) iv[i] = static_cast<unsigned char>(t + i * 3);
      for (int round = 0; round < 200; round++) {
        std::string text = "thread " + std::to_string(t) + " round " + std::to_string(round);
        unsigned long length = 0;
        unsigned char* sealed =
            AES256_Encrypt_CBC(reinterpret_cast<const unsigned char*>(text.c_str()), key, iv, &length);
        if (!sealed) {
          failures[t]++;
          continue;
        }
        int opened = 0;
        unsigned char* back = AES256_Decrypt_CBC(sealed, length, key, iv, opened);
        if (!back || text != reinterpret_cast<char*>(back) || opened != static_cast<int>(text.size() + 16))
          failures[t]++;
        free(back);
        free(sealed);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; t++) EXPECT_EQ(failures[t], 0) << "thread " << t;
}
