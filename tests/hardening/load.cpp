// SPDX-License-Identifier: Apache-2.0
// load.cpp -- see load.h.
#include "load.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "hardening.h"

namespace kh {

namespace {

const char* const kUrls[6] = {"https://127.0.0.1:56459/", "https://[::1]:56459/", "https://127.0.0.1:56559/",
                              "https://[::1]:56559/",     "https://127.0.0.1:56659/", "https://[::1]:56659/"};
const char* const kHosts[3] = {"Host: localhost:56459", "Host: localhost:56559", "Host: localhost:56659"};

size_t collect(char* data, size_t size, size_t count, void* user) {
  ((std::string*)user)->append(data, size * count);
  return size * count;
}

struct Shared {
  std::mutex lock;
  LoadReport report;
  std::vector<double> latencies;
  std::atomic<size_t> next{0};
  std::atomic<bool> finished{false};
};

class Worker {
 public:
  Worker(int index, const LoadOptions& options, Shared* shared)
      : index_(index), options_(options), shared_(shared), random_(0x5eed + index) {
    origin_ = "https://page" + std::to_string(index) + ".example";
    url_ = kUrls[index % 6];
    host_ = kHosts[(index % 6) / 2];
    curl_ = curl_easy_init();
    sessions_.resize((size_t)std::max(1, options.sessionsPerWorker));
  }
  ~Worker() { curl_easy_cleanup(curl_); }

  void run() {
    while (shared_->next.fetch_add(1) < options_.requests)
      step();
    std::lock_guard<std::mutex> guard(shared_->lock);
    LoadReport& r = shared_->report;
    r.done += done_;
    r.failed += failed_;
    r.crossTalk += crossTalk_;
    r.lostValues += lostValues_;
    r.evictions += evictions_;
    r.mainThread += mainThread_;
    r.heartbeats += heartbeats_;
    shared_->latencies.insert(shared_->latencies.end(), latencies_.begin(), latencies_.end());
    for (const std::string& e : errors_)
      if (r.firstErrors.size() < 10)
        r.firstErrors.push_back(e);
  }

 private:
  // One request; false when there was no proper answer map.
  bool send(const std::string& json, std::map<std::string, std::string>* values) {
    std::string body = kt::parameterBody(json);
    std::string answer;
    struct curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
    headers = curl_slist_append(headers, ("Origin: " + origin_).c_str());
    headers = curl_slist_append(headers, host_.c_str());
    bool keepAlive = options_.keepAliveForOdd && index_ % 2 == 1;
    if (keepAlive)
      headers = curl_slist_append(headers, "Connection: keep-alive");
    curl_easy_reset(curl_);
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.size());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_CAINFO, options_.caFile.c_str());
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_FORBID_REUSE, keepAlive ? 0L : 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
    auto start = std::chrono::steady_clock::now();
    CURLcode code = curl_easy_perform(curl_);
    latencies_.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    if (code != CURLE_OK || status != 200 || !kt::decodeAnswer(answer, values)) {
      fail("curl " + std::to_string(code) + " status " + std::to_string(status) + " body " + answer.substr(0, 120) +
           " for " + json.substr(0, 160));
      return false;
    }
    done_++;
    return true;
  }

  void fail(const std::string& what) {
    failed_++;
    if (errors_.size() < 10)
      errors_.push_back(origin_ + ": " + what);
  }

  std::string nonce() {
    char text[48];
    snprintf(text, sizeof(text), "w%d-%llu-%08x", index_, (unsigned long long)++counter_, (unsigned)random_());
    return text;
  }

  // Opens a session into slot; false when no answer.
  bool open(size_t slot) {
    std::map<std::string, std::string> v;
    if (!send(echoJson(), &v))
      return false;
    if (v["result"] != "0" || v["SessionID"].size() != 12) {
      fail("open answered " + v["result"]);
      return false;
    }
    if (!seen_.insert(v["SessionID"]).second) {
      crossTalk_++;
      fail("session identifier handed out twice: " + v["SessionID"]);
    }
    sessions_[slot] = v["SessionID"];
    return true;
  }

  // A call on a session; an evicted session is reopened and the call sent
  // again. Returns the answer's "result" (empty with ok false on failure).
  bool call(size_t slot, const std::string& fields, std::map<std::string, std::string>* v) {
    for (int attempt = 0; attempt < 3; attempt++) {
      if (sessions_[slot].empty() && !open(slot))
        return false;
      if (!send("{" + fields + R"(,"SessionId":")" + sessions_[slot] + "\"}", v))
        return false;
      // An evicted session's identifier is unknown again: 61001.
      if (v->size() == 1 && (*v)["result"] == "61001") {
        evictions_++;
        sessions_[slot].clear();
        continue;
      }
      return true;
    }
    fail("session evicted three times in a row");
    return false;
  }

  void step() {
    size_t slot = random_() % sessions_.size();
    unsigned pick = random_() % 100;
    std::map<std::string, std::string> v;
    if (pick < 40) {
      std::string text = nonce();
      if (call(slot, R"("FunctionName":"EchoText","text":")" + text + "\"", &v) && v["result"] != text) {
        crossTalk_++;
        fail("EchoText " + text + " answered " + v["result"]);
      }
    } else if (pick < 55) {
      // One channel per page: twelve pages stay within the store's 16
      // records, so no value is cleared to make room (which a full store does).
      std::string channel = "c" + std::to_string(index_);
      std::string value = nonce();
      if (call(slot,
               R"("FunctionName":"setKestrovanValue","channel":")" + channel + R"(","domain_list":"page)" +
                   std::to_string(index_) + R"(.example","timeout":"30","value":")" + value + "\"",
               &v)) {
        if (v["result"] != "0")
          fail("set answered " + v["result"]);
        else
          stored_[channel] = value;
      }
    } else if (pick < 70) {
      if (stored_.empty())
        return step();
      auto it = stored_.begin();
      std::advance(it, random_() % stored_.size());
      if (call(slot, R"("FunctionName":"getKestrovanValue","channel":")" + it->first + "\"", &v) &&
          v["result"] != it->second) {
        lostValues_++;
        fail("value " + it->first + " read back " + v["result"] + " not " + it->second);
      }
    } else if (pick < 80) {
      if (send(R"({"FunctionName":"KestrovanClose","SessionId":""})", &v) &&
          (v.size() != 1 || v["SessionID"].size() != 12)) {
        crossTalk_++;
        fail("close without session answered keys " + std::to_string(v.size()));
      }
    } else if (pick < 90) {
      if (!sessions_[slot].empty() &&
          send(R"({"FunctionName":"KestrovanClose","SessionId":")" + sessions_[slot] + "\"}", &v)) {
        // Closed, or already evicted (61001): either way the slot is gone.
        if (!v.empty() && v["result"] != "61001") {
          crossTalk_++;
          fail("close answered " + v["result"]);
        }
      }
      sessions_[slot].clear();
      open(slot);
    } else if (pick < 91) {
      std::string text = nonce();
      std::string fields = R"("FunctionName":"EchoText","KestrovanMainThread":true,"text":")" + text + "\"";
      for (int round = 0; round < 30; round++) {
        if (!call(slot, fields, &v))
          return;
        if (v["result"] == "heartbeat") {
          heartbeats_++;
          continue;
        }
        if (v["result"] == text)
          mainThread_++;
        else {
          crossTalk_++;
          fail("main-thread " + text + " answered " + v["result"]);
        }
        return;
      }
      fail("main-thread call never delivered");
    } else {
      if (call(slot, R"("FunctionName":"KestrovanEcho")", &v) &&
          (v["result"] != "0" || v["ServerVersion"] != "3.0.23.0721")) {
        crossTalk_++;
        fail("echo answered " + v["result"]);
      }
    }
  }

  int index_;
  const LoadOptions& options_;
  Shared* shared_;
  std::mt19937 random_;
  std::string origin_, url_, host_;
  CURL* curl_;
  std::vector<std::string> sessions_;
  std::map<std::string, std::string> stored_;
  std::set<std::string> seen_;
  unsigned long long counter_ = 0;
  size_t done_ = 0, failed_ = 0, crossTalk_ = 0, lostValues_ = 0, evictions_ = 0, mainThread_ = 0, heartbeats_ = 0;
  std::vector<double> latencies_;
  std::vector<std::string> errors_;
};

}  // namespace

std::string LoadReport::text() const {
  char out[1024];
  snprintf(out, sizeof(out),
           "requests answered %zu, failed %zu, cross-talk %zu, values lost %zu, evictions met %zu, "
           "main-thread results %zu (heartbeats %zu)\n"
           "%.1f s, %.0f requests/s, latency p50 %.2f ms, p99 %.2f ms, max %.1f ms\n"
           "resident memory kB: before %ld, peak %ld, after %ld; open descriptors: before %d, peak %d, after %d\n",
           done, failed, crossTalk, lostValues, evictions, mainThread, heartbeats, seconds,
           seconds > 0 ? done / seconds : 0.0, p50Ms, p99Ms, maxMs, rssBeforeKb, rssPeakKb, rssAfterKb, fdsBefore,
           fdsPeak, fdsAfter);
  std::string text = out;
  for (const std::string& e : firstErrors)
    text += "  " + e + "\n";
  return text;
}

LoadReport runLoad(const LoadOptions& options) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  Shared shared;
  LoadReport& r = shared.report;
  r.rssBeforeKb = residentKb(options.service);
  r.fdsBefore = openFds(options.service);
  r.rssPeakKb = r.rssBeforeKb;
  r.fdsPeak = r.fdsBefore;
  std::thread monitor([&] {
    while (!shared.finished.load()) {
      long rss = residentKb(options.service);
      int fds = openFds(options.service);
      {
        std::lock_guard<std::mutex> guard(shared.lock);
        r.rssPeakKb = std::max(r.rssPeakKb, rss);
        r.fdsPeak = std::max(r.fdsPeak, fds);
      }
      usleep(100000);
    }
  });
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < options.workers; i++)
    threads.emplace_back([&, i] {
      Worker worker(i, options, &shared);
      worker.run();
    });
  for (std::thread& t : threads)
    t.join();
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  shared.finished = true;
  monitor.join();
  std::sort(shared.latencies.begin(), shared.latencies.end());
  if (!shared.latencies.empty()) {
    r.p50Ms = shared.latencies[shared.latencies.size() / 2];
    r.p99Ms = shared.latencies[shared.latencies.size() * 99 / 100];
    r.maxMs = shared.latencies.back();
  }
  return r;
}

}  // namespace kh
