// SPDX-License-Identifier: Apache-2.0
// crypto_bench -- the cipher engine beside nettle and OpenSSL, in one run,
// printed as ratios.
//
// Contenders for every workload:
//   ours      the table-driven engine through SK_EncryptInit/Update/Final
//   nettle    nettle's table code: this process runs with
//             NETTLE_FAT_OVERRIDE=vendor:<cpu> (no "aesni") so nettle's
//             run-time choice falls on its table path
//   openssl   OpenSSL's EVP interface with OPENSSL_ia32cap masking AES-NI
//   aesni     a second copy of nettle, loaded with dlmopen without the
//             override, so it takes its AES-NI path: the hardware limit
// The binary re-executes itself once to put those variables in place before
// the libraries initialise. Every workload is init + update + final on a
// fresh key; all contenders are first checked to produce the same bytes.
//
//   crypto_bench [benchmark flags]   timings, then the ratio table
//   crypto_bench --instructions      one callgrind dump per workload and
//                                    contender (run under callgrind; see
//                                    bench/crypto/run.sh)
#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <dlfcn.h>
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crypto/cipher.h"

namespace {

const size_t kBig = 16384;
const size_t kSmall = 64;

alignas(64) uint8_t gIn[kBig + 64];
alignas(64) uint8_t gOut[kBig + 64];
uint8_t gKey[32];
uint8_t gIv[16];

const char* const kContenders[] = {"ours", "nettle", "openssl", "aesni"};

// --- ours -----------------------------------------------------------------

size_t oursRun(bool encrypt, uint64_t mechanism, uint64_t keyLength, const uint8_t* in, size_t length) {
  SK_CipherContext ctx;
  memset(&ctx, 0, sizeof(ctx));
  if (encrypt)
    SK_EncryptInit(&ctx, mechanism, gKey, keyLength);
  else
    SK_DecryptInit(&ctx, mechanism, gKey, keyLength);
  memcpy(ctx.chain, gIv, 16);
  uint64_t n = sizeof(gOut), m;
  if (encrypt)
    SK_EncryptUpdate(&ctx, in, length, gOut, &n);
  else
    SK_DecryptUpdate(&ctx, in, length, gOut, &n);
  m = sizeof(gOut) - n;
  int rv = encrypt ? SK_EncryptFinal(&ctx, gOut + n, &m) : SK_DecryptFinal(&ctx, gOut + n, &m);
  if (rv) abort();
  return n + m;
}

// --- nettle (table path, and the AES-NI copy) -----------------------------

struct NettleAes {
  void (*setEncryptKey)(aes256_ctx*, const uint8_t*);
  void (*setDecryptKey)(aes256_ctx*, const uint8_t*);
  nettle_cipher_func* encrypt;
  nettle_cipher_func* decrypt;
  void (*cbcEncrypt)(const void*, nettle_cipher_func*, size_t, uint8_t*, size_t, uint8_t*, const uint8_t*);
  void (*cbcDecrypt)(const void*, nettle_cipher_func*, size_t, uint8_t*, size_t, uint8_t*, const uint8_t*);
};

NettleAes gNettleTable = {aes256_set_encrypt_key, aes256_set_decrypt_key,
                          reinterpret_cast<nettle_cipher_func*>(aes256_encrypt),
                          reinterpret_cast<nettle_cipher_func*>(aes256_decrypt), cbc_encrypt, cbc_decrypt};
NettleAes gNettleAesni;
bool gHaveAesni = false;

// Loads a second nettle in its own link-map namespace, with the override
// removed, so that its start-up picks AES-NI.
void loadNettleAesni() {
  std::string saved = getenv("NETTLE_FAT_OVERRIDE") ? getenv("NETTLE_FAT_OVERRIDE") : "";
  unsetenv("NETTLE_FAT_OVERRIDE");
  void* h = dlmopen(LM_ID_NEWLM, "libnettle.so.8", RTLD_NOW | RTLD_LOCAL);
  if (!saved.empty()) setenv("NETTLE_FAT_OVERRIDE", saved.c_str(), 1);
  if (!h) {
    fprintf(stderr, "crypto_bench: no AES-NI nettle copy: %s\n", dlerror());
    return;
  }
  gNettleAesni.setEncryptKey = reinterpret_cast<void (*)(aes256_ctx*, const uint8_t*)>(
      dlsym(h, "nettle_aes256_set_encrypt_key"));
  gNettleAesni.setDecryptKey = reinterpret_cast<void (*)(aes256_ctx*, const uint8_t*)>(
      dlsym(h, "nettle_aes256_set_decrypt_key"));
  gNettleAesni.encrypt = reinterpret_cast<nettle_cipher_func*>(dlsym(h, "nettle_aes256_encrypt"));
  gNettleAesni.decrypt = reinterpret_cast<nettle_cipher_func*>(dlsym(h, "nettle_aes256_decrypt"));
  gNettleAesni.cbcEncrypt = reinterpret_cast<decltype(gNettleAesni.cbcEncrypt)>(dlsym(h, "nettle_cbc_encrypt"));
  gNettleAesni.cbcDecrypt = reinterpret_cast<decltype(gNettleAesni.cbcDecrypt)>(dlsym(h, "nettle_cbc_decrypt"));
  gHaveAesni = gNettleAesni.setEncryptKey && gNettleAesni.setDecryptKey && gNettleAesni.encrypt &&
               gNettleAesni.decrypt && gNettleAesni.cbcEncrypt && gNettleAesni.cbcDecrypt;
}

size_t nettleAesCbc(const NettleAes& n, bool encrypt, bool padded, const uint8_t* in, size_t length) {
  aes256_ctx ctx;
  uint8_t iv[16];
  memcpy(iv, gIv, 16);
  if (encrypt) {
    n.setEncryptKey(&ctx, gKey);
    size_t whole = length - length % 16;
    n.cbcEncrypt(&ctx, n.encrypt, 16, iv, whole, gOut, in);
    if (!padded) return whole;
    uint8_t last[16];
    size_t rest = length - whole;
    memcpy(last, in + whole, rest);
    memset(last + rest, static_cast<int>(16 - rest), 16 - rest);
    n.cbcEncrypt(&ctx, n.encrypt, 16, iv, 16, gOut + whole, last);
    return whole + 16;
  }
  n.setDecryptKey(&ctx, gKey);
  n.cbcDecrypt(&ctx, n.decrypt, 16, iv, length, gOut, in);
  if (!padded) return length;
  unsigned p = gOut[length - 1];
  if (p == 0 || p > 16) abort();
  return length - p;
}

size_t nettleDes3Cbc(bool encrypt, const uint8_t* in, size_t length) {
  des3_ctx ctx;
  uint8_t iv[8];
  memcpy(iv, gIv, 8);
  des3_set_key(&ctx, gKey);
  if (encrypt)
    cbc_encrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(des3_encrypt), 8, iv, length, gOut, in);
  else
    cbc_decrypt(&ctx, reinterpret_cast<nettle_cipher_func*>(des3_decrypt), 8, iv, length, gOut, in);
  return length;
}

size_t nettleRc4(const uint8_t* in, size_t length) {
  arcfour_ctx ctx;
  arcfour_set_key(&ctx, 16, gKey);
  arcfour_crypt(&ctx, length, gOut, in);
  return length;
}

// --- OpenSSL EVP ------------------------------------------------------------

EVP_CIPHER_CTX* gEvp;
EVP_CIPHER* gEvpAesCbc;
EVP_CIPHER* gEvpDes3Cbc;
EVP_CIPHER* gEvpRc4;

size_t opensslRun(EVP_CIPHER* cipher, bool encrypt, bool padded, const uint8_t* in, size_t length) {
  int n = 0, m = 0;
  bool ok;
  if (encrypt) {
    ok = EVP_EncryptInit_ex2(gEvp, cipher, gKey, gIv, nullptr) && EVP_CIPHER_CTX_set_padding(gEvp, padded) &&
         EVP_EncryptUpdate(gEvp, gOut, &n, in, static_cast<int>(length)) &&
         EVP_EncryptFinal_ex(gEvp, gOut + n, &m);
  } else {
    ok = EVP_DecryptInit_ex2(gEvp, cipher, gKey, gIv, nullptr) && EVP_CIPHER_CTX_set_padding(gEvp, padded) &&
         EVP_DecryptUpdate(gEvp, gOut, &n, in, static_cast<int>(length)) &&
         EVP_DecryptFinal_ex(gEvp, gOut + n, &m);
  }
  if (!ok) abort();
  return static_cast<size_t>(n + m);
}

void setUpOpenssl() {
  OSSL_PROVIDER_load(nullptr, "default");
  OSSL_PROVIDER_load(nullptr, "legacy");  // RC4 lives there
  gEvp = EVP_CIPHER_CTX_new();
  gEvpAesCbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  gEvpDes3Cbc = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  gEvpRc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
  if (!gEvp || !gEvpAesCbc || !gEvpDes3Cbc) {
    fprintf(stderr, "crypto_bench: OpenSSL ciphers not available\n");
    exit(1);
  }
}

// --- workloads ----------------------------------------------------------------

// One workload: its contenders, given as functions of (input, length).
struct Workload {
  std::string name;
  size_t bytes;
  bool encrypt;
  uint64_t mechanism;  // ours; also tells which reference makes the ciphertext
  uint64_t keyLength;
  std::map<std::string, std::function<size_t(const uint8_t*, size_t)>> contenders;
};

std::vector<Workload> makeWorkloads() {
  std::vector<Workload> w;
  for (bool enc : {true, false}) {
    for (size_t bytes : {kBig, kSmall}) {
      const bool padded = bytes == kSmall;  // messages: the sealing mode
      Workload x;
      x.name = std::string("aes256-cbc") + (padded ? "-pad" : "") + (enc ? "-enc-" : "-dec-") +
               (bytes == kBig ? "16KiB" : "64B");
      x.bytes = bytes;
      x.encrypt = enc;
      x.mechanism = padded ? SK_CKM_AES_CBC_PAD : SK_CKM_AES_CBC;
      x.keyLength = 32;
      uint64_t mech = x.mechanism;
      x.contenders["ours"] = [enc, mech](const uint8_t* in, size_t n) { return oursRun(enc, mech, 32, in, n); };
      x.contenders["nettle"] = [enc, padded](const uint8_t* in, size_t n) {
        return nettleAesCbc(gNettleTable, enc, padded, in, n);
      };
      x.contenders["openssl"] = [enc, padded](const uint8_t* in, size_t n) {
        return opensslRun(gEvpAesCbc, enc, padded, in, n);
      };
      if (gHaveAesni)
        x.contenders["aesni"] = [enc, padded](const uint8_t* in, size_t n) {
          return nettleAesCbc(gNettleAesni, enc, padded, in, n);
        };
      w.push_back(x);
    }
  }
  for (bool enc : {true, false}) {
    Workload x;
    x.name = std::string("3des-cbc") + (enc ? "-enc" : "-dec") + "-16KiB";
    x.bytes = kBig;
    x.encrypt = enc;
    x.mechanism = SK_CKM_DES3_CBC;
    x.keyLength = 24;
    x.contenders["ours"] = [enc](const uint8_t* in, size_t n) { return oursRun(enc, SK_CKM_DES3_CBC, 24, in, n); };
    x.contenders["nettle"] = [enc](const uint8_t* in, size_t n) { return nettleDes3Cbc(enc, in, n); };
    x.contenders["openssl"] = [enc](const uint8_t* in, size_t n) {
      return opensslRun(gEvpDes3Cbc, enc, false, in, n);
    };
    w.push_back(x);
  }
  {
    Workload x;
    x.name = "rc4-16KiB";
    x.bytes = kBig;
    x.encrypt = true;
    x.mechanism = SK_CKM_RC4;
    x.keyLength = 16;
    x.contenders["ours"] = [](const uint8_t* in, size_t n) { return oursRun(true, SK_CKM_RC4, 16, in, n); };
    x.contenders["nettle"] = [](const uint8_t* in, size_t n) { return nettleRc4(in, n); };
    if (gEvpRc4)
      x.contenders["openssl"] = [](const uint8_t* in, size_t n) { return opensslRun(gEvpRc4, true, false, in, n); };
    w.push_back(x);
  }
  return w;
}

// The input a workload works on: the plaintext, or for decryption the
// engine's ciphertext of it (checked against every contender below).
std::vector<uint8_t> inputFor(const Workload& w) {
  std::vector<uint8_t> plain(gIn, gIn + w.bytes);
  if (w.encrypt) return plain;
  size_t n = oursRun(true, w.mechanism, w.keyLength, gIn, w.bytes);
  return std::vector<uint8_t>(gOut, gOut + n);
}

// Every contender must produce the same bytes; a benchmark of a wrong
// answer is worthless.
void checkAgreement(const std::vector<Workload>& ws) {
  for (const Workload& w : ws) {
    std::vector<uint8_t> in = inputFor(w);
    std::vector<uint8_t> first;
    for (const auto& c : w.contenders) {
      size_t n = c.second(in.data(), in.size());
      std::vector<uint8_t> out(gOut, gOut + n);
      if (first.empty()) {
        first = out;
      } else if (out != first) {
        fprintf(stderr, "crypto_bench: %s: %s disagrees\n", w.name.c_str(), c.first.c_str());
        exit(1);
      }
    }
  }
}

// --- the ratio table ------------------------------------------------------------

struct Goal {
  const char* workload;
  const char* against;
  double ratio;
};

const Goal kGoals[] = {
    {"aes256-cbc-enc-16KiB", "nettle", 1.1}, {"aes256-cbc-dec-16KiB", "openssl", 1.0},
    {"aes256-cbc-pad-enc-64B", "openssl", 1.0}, {"aes256-cbc-pad-dec-64B", "openssl", 1.0},
    {"3des-cbc-enc-16KiB", "nettle", 1.0}, {"3des-cbc-dec-16KiB", "nettle", 1.0},
    {"rc4-16KiB", "nettle", 1.0},
};

// Keeps the best rate of each benchmark over its repetitions: on a shared
// machine the best run is the one least disturbed by others.
class RateCollector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> best;  // "workload/contender" -> bytes per second
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      double v = it->second.value;
      std::string name = r.benchmark_name();
      double& b = best[name];
      if (v > b) b = v;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void printTable(const std::vector<Workload>& ws, const RateCollector& rc) {
  auto rate = [&](const std::string& w, const char* c) {
    auto it = rc.best.find(w + "/" + c);
    return it == rc.best.end() ? 0.0 : it->second / 1e6;
  };
  printf("\nMB/s (best of the repetitions) and ratios, ours / other:\n");
  printf("%-24s %9s %9s %9s %9s   %8s %8s %8s\n", "workload", "ours", "nettle", "openssl", "aesni", "/nettle",
         "/openssl", "/aesni");
  for (const Workload& w : ws) {
    double o = rate(w.name, "ours"), n = rate(w.name, "nettle"), s = rate(w.name, "openssl"),
           a = rate(w.name, "aesni");
    auto ratio = [&](double x) { return x > 0 ? o / x : 0.0; };
    printf("%-24s %9.1f %9.1f %9.1f %9.1f   %8.2f %8.2f %8.2f\n", w.name.c_str(), o, n, s, a, ratio(n), ratio(s),
           ratio(a));
  }
  printf("\nGoals:\n");
  for (const Goal& g : kGoals) {
    double o = rate(g.workload, "ours"), x = rate(g.workload, g.against);
    double r = x > 0 ? o / x : 0;
    printf("  %-24s ours/%-8s %.2f (goal %.2f)  %s\n", g.workload, g.against, r, g.ratio,
           r >= g.ratio ? "met" : "NOT met");
  }
}

// --- instruction counting under callgrind ---------------------------------------

void countInstructions(const std::vector<Workload>& ws) {
  if (!RUNNING_ON_VALGRIND) {
    fprintf(stderr, "crypto_bench --instructions: run under valgrind --tool=callgrind (bench/crypto/run.sh)\n");
    exit(1);
  }
  for (const Workload& w : ws) {
    std::vector<uint8_t> in = inputFor(w);
    const int calls = w.bytes == kSmall ? 2000 : 20;
    for (const auto& c : w.contenders) {
      c.second(in.data(), in.size());  // warm: lazy binding, first-use set-up
      char name[160];
      snprintf(name, sizeof(name), "%s %s %zu", w.name.c_str(), c.first.c_str(), w.bytes * calls);
      CALLGRIND_ZERO_STATS;
      for (int i = 0; i < calls; i++) c.second(in.data(), in.size());
      CALLGRIND_DUMP_STATS_AT(name);
    }
  }
}

// Puts the switches that turn AES-NI off in nettle and OpenSSL into the
// environment and starts again, since both read them while loading.
void reexecWithSwitches(char** argv) {
  if (getenv("KESTROVAN_BENCH_SWITCHED")) return;
  unsigned a = 0, b = 0, c = 0, d = 0;
  char vendor[13] = {0};
  __get_cpuid(0, &a, &b, &c, &d);
  memcpy(vendor, &b, 4);
  memcpy(vendor + 4, &d, 4);
  memcpy(vendor + 8, &c, 4);
  const char* v = strcmp(vendor, "GenuineIntel") == 0 ? "vendor:intel" : "vendor:amd";
  setenv("NETTLE_FAT_OVERRIDE", v, 0);
  setenv("NETTLE_FAT_VERBOSE", "1", 0);
  setenv("OPENSSL_ia32cap", "~0x200000200000000", 0);
  setenv("KESTROVAN_BENCH_SWITCHED", "1", 1);
  execv("/proc/self/exe", argv);
  perror("crypto_bench: re-exec");
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  reexecWithSwitches(argv);
  fprintf(stderr, "crypto_bench: NETTLE_FAT_OVERRIDE=%s OPENSSL_ia32cap=%s\n", getenv("NETTLE_FAT_OVERRIDE"),
          getenv("OPENSSL_ia32cap"));
  for (size_t i = 0; i < sizeof(gIn); i++) gIn[i] = static_cast<uint8_t>(i * 131 + 7);
  for (int i = 0; i < 32; i++) gKey[i] = static_cast<uint8_t>(0xa0 + i * 5);
  for (int i = 0; i < 16; i++) gIv[i] = static_cast<uint8_t>(i * 17);
  setUpOpenssl();
  loadNettleAesni();
  std::vector<Workload> workloads = makeWorkloads();
  checkAgreement(workloads);

  bool instructions = false;
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--instructions") == 0) instructions = true;
  if (instructions) {
    countInstructions(workloads);
    return 0;
  }

  static std::vector<std::vector<uint8_t>> inputs;
  inputs.reserve(workloads.size());
  for (const Workload& w : workloads) {
    inputs.push_back(inputFor(w));
    const std::vector<uint8_t>* in = &inputs.back();
    for (const char* name : kContenders) {
      auto it = w.contenders.find(name);
      if (it == w.contenders.end()) continue;
      auto fn = it->second;
      size_t bytes = w.bytes;
      benchmark::RegisterBenchmark((w.name + "/" + name).c_str(), [fn, in, bytes](benchmark::State& state) {
        for (auto _ : state) benchmark::DoNotOptimize(fn(in->data(), in->size()));
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
      });
    }
  }
  benchmark::Initialize(&argc, argv);
  RateCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  printTable(workloads, collector);
  benchmark::Shutdown();
  return 0;
}
