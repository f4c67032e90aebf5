// SPDX-License-Identifier: Apache-2.0
// mainthread.cpp -- the main-thread hand-off table, the waits of suspended
// requests with their waiter thread, the adapters' hooks, the registrable
// domain of an origin and the interruptible sleep.
#include "service/mainthread.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <libpsl.h>
#include <memory>
#include <mutex>
#include <strings.h>
#include <thread>
#include <vector>

#include "params/params.h"
#include "platform/platform.h"
#include "support/support.h"

// The interruptible sleep: m makes the isFinal test and the wait one step
// with respect to cv_finalize, so that a finalisation is never missed.
static std::mutex m;
static std::condition_variable cv;
std::atomic<bool> KestrovanClose{false};
const unsigned int KestrovanProcessID = 0;

static std::atomic<bool> isFinal{false};

void cv_sleep(int duration) {
  std::unique_lock<std::mutex> lock(m);
  if (isFinal.load())
    return;
  cv.wait_for(lock, std::chrono::milliseconds(duration));
}

enum KestrovanCallState {
  KESTROVAN_CALL_FREE,      // the entry holds nothing
  KESTROVAN_CALL_PENDING,   // handed over, waiting for the main thread
  KESTROVAN_CALL_RUNNING,   // the main thread is running it
  KESTROVAN_CALL_FINISHED,  // its result waits for its caller
};

// One entry. The texts name the caller; origin is also the dispatcher's
// argument, so it lives until the entry is freed, after the call returned.
struct KestrovanMainThreadCall {
  KestrovanCallState state;
  uint64_t serial;            // arrival number, never reused: orders calls, names it to adapters
  KestrovanJsonMap* map;      // the call's own map (PENDING)
  char* origin;
  char* sessionId;
  char* callId;
  char domain[KESTROVAN_DOMAIN_SIZE];
  KestrovanJsonMap* result;   // FINISHED
  uint64_t finishedAt;        // ms, when it finished
  int waiters;                // waits of requests attached to it
  bool unwaited;              // nobody waits for it since unwaitedSince
  uint64_t unwaitedSince;     // ms
};

// One request's wait. Its texts are its own copies.
struct KestrovanMainThreadWait {
  char* origin;
  char* sessionId;
  char* callId;
  char domain[KESTROVAN_DOMAIN_SIZE];
  KestrovanJsonMap* map;      // the request's map, until a call takes it
  int index;                  // the call it waits for, or -1 while it waits for room
  uint64_t serial;            // that call's serial
  uint64_t deadline;          // ms: then it is answered "heartbeat"
  int socket;                 // watched for a hang-up, or -1
  KestrovanMainThreadResume resume;
  void* context;
  bool suspended;             // resume may be called
  bool resumed;               // resume was called, or is being called
  bool hungUp;                // its page went away
  KestrovanMainThreadWait* next;
};

// A registrable domain and when the main thread last ran one of its calls.
struct KestrovanServedDomain {
  char domain[KESTROVAN_DOMAIN_SIZE];
  uint64_t tick;  // 0: free
};

struct KestrovanHandOff {
  std::mutex lock;
  std::condition_variable changed;  // the main thread: arrival, shutdown
  KestrovanMainThreadCall calls[KESTROVAN_MAIN_THREAD_CALLS] = {};
  uint64_t arrivals = 0;
  KestrovanMainThreadWait* waits = nullptr;
  KestrovanServedDomain served[KESTROVAN_MAIN_THREAD_CALLS * 2] = {};
  uint64_t serveTicks = 0;
  // The waiter thread (detached): exists while some wait is suspended and
  // not resumed; waiterEnded is signalled as it ends.
  bool waiterRunning = false;
  std::condition_variable waiterEnded;
  int wake[2] = {-1, -1};
  bool wakeTried = false;
};

// Zeroed (value-initialised): every entry starts FREE.
static KestrovanHandOff& handOff = *new KestrovanHandOff();

// The call the main thread runs, for the adapters' hook.
static thread_local uint64_t runningToken = 0;

#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
static std::atomic<uint64_t> skippedSeconds{0};
#endif

// Milliseconds of a clock that only moves forward: the wait, the keeping of
// a result and abandonment measure elapsed time, which a local clock set
// back (end of daylight saving, a manual change) or unreadable must not
// stretch.
static uint64_t nowMs() {
  uint64_t ms = (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
  ms += skippedSeconds.load() * 1000;
#endif
  return ms;
}

static bool closing() {
  return KestrovanClose.load() || isFinal.load();
}

// Set as shutdown begins, before the adapters are released: a dialog
// must end then, not once releasing them gave up waiting for it.
static std::atomic<bool> stopping{false};

void KestrovanMainThread_stopping() {
  stopping = true;
}

// Under handOff.lock. Something the waits depend on changed.
static void changedLocked() {
  handOff.changed.notify_all();
  if (handOff.waiterRunning)
    KestrovanPlatform_wake(handOff.wake);
}

void KestrovanMainThread_closing() {
  std::lock_guard<std::mutex> guard(handOff.lock);
  changedLocked();
}

void cv_finalize() {
  {
    std::lock_guard<std::mutex> lock(m);
    isFinal.store(true);
  }
  cv.notify_all();
  // Under the lock: ordered after any waiter's last look at the flags, so
  // none of them sleeps through it.
  KestrovanMainThread_closing();
}

#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
void KestrovanMainThread_skipSeconds(unsigned int seconds) {
  skippedSeconds += seconds;
  std::lock_guard<std::mutex> guard(handOff.lock);
  changedLocked();
}

KestrovanMainThreadCounts KestrovanMainThread_counts() {
  KestrovanMainThreadCounts counts = {};
  std::lock_guard<std::mutex> guard(handOff.lock);
  for (KestrovanMainThreadWait* wait = handOff.waits; wait != nullptr; wait = wait->next)
    counts.waits++;
  for (const KestrovanMainThreadCall& call : handOff.calls) {
    counts.pending += call.state == KESTROVAN_CALL_PENDING;
    counts.running += call.state == KESTROVAN_CALL_RUNNING;
    counts.finished += call.state == KESTROVAN_CALL_FINISHED;
  }
  return counts;
}
#endif

// ---- The registrable domain ----

static const psl_ctx_t* loadPublicSuffixes() {
  // The system's list when it is newer than the library's own copy; kept
  // for the whole run.
  const psl_ctx_t* latest = psl_latest(nullptr);
  return latest != nullptr ? latest : psl_builtin();
}

static const psl_ctx_t* publicSuffixes() {
  static const psl_ctx_t* const list = loadPublicSuffixes();
  return list;
}

void KestrovanMainThread_domainOf(const char* origin, char* out, size_t size) {
  if (out == nullptr || size == 0)
    return;
  out[0] = '\0';
  if (origin == nullptr)
    return;
  const char* host = strstr(origin, "://");
  host = host != nullptr ? host + 3 : origin;
  char name[KESTROVAN_DOMAIN_SIZE];
  size_t length = 0;
  if (host[0] == '[') {
    // An IPv6 literal: its own domain, brackets included.
    const char* end = strchr(host, ']');
    length = end != nullptr ? (size_t)(end - host) + 1 : strlen(host);
  } else {
    length = strcspn(host, ":/?#");
  }
  if (length == 0 || length >= sizeof(name)) {
    ArrayCopy(out, size, origin);
    return;
  }
  for (size_t i = 0; i < length; i++) {
    char c = host[i];
    name[i] = (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
  }
  name[length] = '\0';
  // A trailing dot names the same host.
  if (length > 1 && name[length - 1] == '.')
    name[--length] = '\0';
  unsigned char address[16];
  bool own = name[0] == '[' || inet_pton(AF_INET, name, address) == 1 || strcmp(name, "localhost") == 0 ||
             (length > 10 && strcmp(name + length - 10, ".localhost") == 0);
  const char* registrable = own ? nullptr : psl_registrable_domain(publicSuffixes(), name);
  ArrayCopy(out, size, registrable != nullptr ? registrable : name);
}

// ---- The table ----

// A request's caller name; the texts belong to the request.
struct KestrovanCaller {
  const char* origin;
  char* sessionId;
  char* callId;
};

static void freeCaller(KestrovanCaller* caller) {
  free(caller->sessionId);
  free(caller->callId);
  caller->sessionId = nullptr;
  caller->callId = nullptr;
}

static bool callIdCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == ':';
}

// Reads the caller's session id and call identifier from map, as the
// dispatcher reads "SessionId" (flags undone, absent read as empty).
// KESTROVAN_OK, KESTROVAN_ERR_MISSING_KEY for an unusable call identifier,
// or -1 when memory runs out.
static int readCaller(KestrovanJsonMap* map, const char* origin, KestrovanCaller* caller) {
  caller->origin = origin != nullptr ? origin : "";
  caller->sessionId = map != nullptr ? getKestrovanJsonCharType(map, "SessionId") : nullptr;
  caller->callId = map != nullptr ? getKestrovanJsonCharType(map, KESTROVAN_CALL_ID_KEY) : nullptr;
  if (caller->sessionId == nullptr)
    caller->sessionId = newMem("");
  if (caller->callId == nullptr)
    caller->callId = newMem("");
  if (caller->sessionId == nullptr || caller->callId == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    freeCaller(caller);
    return -1;
  }
  size_t length = strlen(caller->callId);
  bool usable = length <= KESTROVAN_CALL_ID_MAX;
  for (size_t i = 0; usable && i < length; i++)
    usable = callIdCharacter(caller->callId[i]);
  if (!usable) {
    printfColorWarningLine("Main thread call id refused, length: ", (int)(length < 1000000 ? length : 1000000));
    freeCaller(caller);
    return KESTROVAN_ERR_MISSING_KEY;
  }
  return KESTROVAN_OK;
}

static bool sameSession(const KestrovanMainThreadCall& call, const KestrovanMainThreadWait& wait) {
  return strcmp(call.origin, wait.origin) == 0 && strcmp(call.sessionId, wait.sessionId) == 0;
}

// Under handOff.lock.
static bool sameCallerLocked(const KestrovanMainThreadCall& call, const KestrovanMainThreadWait& wait) {
  return call.state != KESTROVAN_CALL_FREE && sameSession(call, wait) && strcmp(call.callId, wait.callId) == 0;
}

// Under handOff.lock. The caller's oldest call in the table, or -1.
static int findLocked(const KestrovanMainThreadWait& wait) {
  int found = -1;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
    if (sameCallerLocked(handOff.calls[i], wait) &&
        (found == -1 || handOff.calls[i].serial < handOff.calls[found].serial))
      found = i;
  }
  return found;
}

// Under handOff.lock. Frees what the entry holds; a running call's entry is
// the main thread's and is left alone by the callers of this.
static void freeLocked(KestrovanMainThreadCall& call) {
  KestrovanJsonFinal(call.map);
  KestrovanJsonFinal(call.result);
  freeSecret(call.origin);
  freeSecret(call.sessionId);
  free(call.callId);
  memset(&call, 0, sizeof(call));
  call.state = KESTROVAN_CALL_FREE;
}

// Under handOff.lock. A result its caller never came back for must not
// keep its entry for ever.
static void dropLocked(KestrovanMainThreadCall& call) {
  printfColorWarningLine("Main thread result not collected: ", "Dropped");
  freeLocked(call);
  changedLocked();
}

static void dropStaleLocked(uint64_t now) {
  for (KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state == KESTROVAN_CALL_FINISHED && now >= call.finishedAt + KESTROVAN_RESULT_KEEP_SECONDS * 1000ull)
      dropLocked(call);
  }
}

// Under handOff.lock. Drops the oldest finished result that matches (of
// the wait's session, its domain, or anyone's); false when there is none.
enum KestrovanDropScope { KESTROVAN_DROP_SESSION, KESTROVAN_DROP_DOMAIN, KESTROVAN_DROP_ANY };

static bool dropOldestFinishedLocked(const KestrovanMainThreadWait& wait, KestrovanDropScope scope) {
  KestrovanMainThreadCall* oldest = nullptr;
  for (KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state != KESTROVAN_CALL_FINISHED)
      continue;
    if (scope == KESTROVAN_DROP_SESSION && !sameSession(call, wait))
      continue;
    if (scope == KESTROVAN_DROP_DOMAIN && strcmp(call.domain, wait.domain) != 0)
      continue;
    if (oldest == nullptr || call.finishedAt < oldest->finishedAt ||
        (call.finishedAt == oldest->finishedAt && call.serial < oldest->serial))
      oldest = &call;
  }
  if (oldest == nullptr)
    return false;
  dropLocked(*oldest);
  return true;
}

// Under handOff.lock. Registers the wait's map as the caller's new call
// when there is room, making room from finished results; the entry's
// index, or -1.
static int startLocked(KestrovanMainThreadWait& wait) {
  if (wait.map == nullptr || closing())
    return -1;
  int ofSession = 0, ofDomain = 0;
  for (const KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state == KESTROVAN_CALL_FREE)
      continue;
    ofSession += sameSession(call, wait) ? 1 : 0;
    ofDomain += strcmp(call.domain, wait.domain) == 0 ? 1 : 0;
  }
  if (ofSession >= KESTROVAN_MAIN_THREAD_CALLS_PER_SESSION) {
    if (!dropOldestFinishedLocked(wait, KESTROVAN_DROP_SESSION))
      return -1;
    ofDomain--;
  }
  if (ofDomain >= KESTROVAN_MAIN_THREAD_CALLS_PER_DOMAIN && !dropOldestFinishedLocked(wait, KESTROVAN_DROP_DOMAIN))
    return -1;
  int room = -1;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS && room == -1; i++)
    if (handOff.calls[i].state == KESTROVAN_CALL_FREE)
      room = i;
  if (room == -1) {
    if (!dropOldestFinishedLocked(wait, KESTROVAN_DROP_ANY))
      return -1;
    for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS && room == -1; i++)
      if (handOff.calls[i].state == KESTROVAN_CALL_FREE)
        room = i;
  }
  KestrovanMainThreadCall& call = handOff.calls[room];
  call.origin = newMem(wait.origin);
  call.sessionId = newMem(wait.sessionId);
  call.callId = newMem(wait.callId);
  if (call.origin == nullptr || call.sessionId == nullptr || call.callId == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    freeLocked(call);
    return -1;
  }
  ArrayCopy(call.domain, sizeof(call.domain), wait.domain);
  call.map = wait.map;
  wait.map = nullptr;
  call.serial = ++handOff.arrivals;
  call.state = KESTROVAN_CALL_PENDING;
  printfColorLine("Start main thread", "");
  changedLocked();
  return room;
}

// Under handOff.lock. Whether the wait's call is still the entry it names.
static bool attachedLocked(const KestrovanMainThreadWait& wait) {
  return wait.index != -1 && handOff.calls[wait.index].state != KESTROVAN_CALL_FREE &&
         handOff.calls[wait.index].serial == wait.serial;
}

static void attachLocked(KestrovanMainThreadWait& wait, int index) {
  KestrovanMainThreadCall& call = handOff.calls[index];
  wait.index = index;
  wait.serial = call.serial;
  call.waiters++;
  call.unwaited = false;
}

// The wait no longer waits for its call: when nobody else does, the clock
// of abandonment starts.
static void detachLocked(KestrovanMainThreadWait& wait, uint64_t now) {
  if (attachedLocked(wait)) {
    KestrovanMainThreadCall& call = handOff.calls[wait.index];
    if (--call.waiters <= 0) {
      call.waiters = 0;
      call.unwaited = true;
      call.unwaitedSince = now;
    }
  }
  wait.index = -1;
}

// Under handOff.lock. Attaches the wait to its caller's call, starting one
// with its map when the caller has none and there is room.
static void placeLocked(KestrovanMainThreadWait& wait) {
  if (attachedLocked(wait))
    return;
  wait.index = -1;
  int index = findLocked(wait);
  if (index == -1)
    index = startLocked(wait);
  if (index != -1)
    attachLocked(wait, index);
}

// Under handOff.lock. Hands out the finished result of the wait's call:
// exactly once, as the entry is emptied here.
static KestrovanJsonMap* collectLocked(KestrovanMainThreadWait& wait) {
  KestrovanMainThreadCall& call = handOff.calls[wait.index];
  KestrovanJsonMap* result = call.result;
  call.result = nullptr;
  freeLocked(call);
  wait.index = -1;
  changedLocked();
  printfColorLine("Main thread mode finish!", "");
  return result;
}

static bool finishedLocked(const KestrovanMainThreadWait& wait) {
  return attachedLocked(wait) && handOff.calls[wait.index].state == KESTROVAN_CALL_FINISHED;
}

struct KestrovanResumeOrder {
  KestrovanMainThreadResume resume;
  void* context;
};

// Under handOff.lock. Ends the suspended waits that are over (marked
// resumed, their resume added to due) and gives the nearest deadline of the
// others (0 when none is left waiting).
static void serviceLocked(uint64_t now, std::vector<KestrovanResumeOrder>* due, uint64_t* nearest) {
  *nearest = 0;
  for (KestrovanMainThreadWait* wait = handOff.waits; wait != nullptr; wait = wait->next) {
    if (!wait->suspended || wait->resumed)
      continue;
    if (!closing() && !wait->hungUp)
      placeLocked(*wait);
    bool over = closing() || wait->hungUp || now >= wait->deadline || finishedLocked(*wait);
    if (over) {
      wait->resumed = true;
      if (wait->hungUp)
        detachLocked(*wait, now);
      due->push_back({wait->resume, wait->context});
    } else if (*nearest == 0 || wait->deadline < *nearest) {
      *nearest = wait->deadline;
    }
  }
}

static void resumeAll(const std::vector<KestrovanResumeOrder>& due) {
  for (const KestrovanResumeOrder& order : due)
    if (order.resume != nullptr)
      order.resume(order.context);
}

static void waiterLoop() {
  std::unique_lock<std::mutex> guard(handOff.lock);
  std::vector<KestrovanResumeOrder> due;
  std::vector<int> sockets;
  for (;;) {
    uint64_t now = nowMs();
    dropStaleLocked(now);
    due.clear();
    uint64_t nearest = 0;
    serviceLocked(now, &due, &nearest);
    if (!due.empty()) {
      guard.unlock();
      resumeAll(due);
      guard.lock();
      continue;
    }
    if (nearest == 0) {
      // Nothing is suspended any more: the thread ends until the next wait.
      handOff.waiterRunning = false;
      handOff.waiterEnded.notify_all();
      return;
    }
    sockets.clear();
    for (KestrovanMainThreadWait* wait = handOff.waits; wait != nullptr; wait = wait->next)
      if (wait->suspended && !wait->resumed && wait->socket >= 0)
        sockets.push_back(wait->socket);
    uint64_t left = nearest > now ? nearest - now : 0;
    // Without a wake pipe (none could be made) changes are seen at least
    // every 100 ms.
    int timeout = handOff.wake[0] >= 0 ? (int)(left > 60000 ? 60000 : left) : (int)(left > 100 ? 100 : left);
    std::unique_ptr<bool[]> hungUp(new bool[sockets.size() + 1]);
    guard.unlock();
    KestrovanPlatform_watchHangUps(sockets.data(), (int)sockets.size(), handOff.wake, timeout, hungUp.get());
    guard.lock();
    for (size_t i = 0; i < sockets.size(); i++) {
      if (!hungUp[i])
        continue;
      for (KestrovanMainThreadWait* wait = handOff.waits; wait != nullptr; wait = wait->next)
        if (wait->suspended && !wait->resumed && wait->socket == sockets[i])
          wait->hungUp = true;
    }
  }
}

// Under handOff.lock. The waiter's wake pipe, made once for the run.
static void openWakeLocked() {
  if (!handOff.wakeTried) {
    handOff.wakeTried = true;
    if (!KestrovanPlatform_wakeOpen(handOff.wake))
      printfColorWarningLine("Main thread waits: ", "No wake pipe");
  }
}

void KestrovanMainThread_init() {
  std::lock_guard<std::mutex> guard(handOff.lock);
  openWakeLocked();
}

// Under handOff.lock. Starts the waiter thread when a suspended wait needs
// it, else wakes it.
static void needWaiterLocked() {
  if (handOff.waiterRunning) {
    KestrovanPlatform_wake(handOff.wake);
    return;
  }
  openWakeLocked();
  handOff.waiterRunning = true;
  // Detached: it touches nothing but the hand-off, which is never destroyed,
  // and an ended one leaves nothing to join.
  std::thread(waiterLoop).detach();
}

static KestrovanJsonMap* answerMap() {
  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  if (map == nullptr)
    showMemoryFail("MainThread", __LINE__);
  return map;
}

static KestrovanJsonMap* heartbeatAnswer() {
  printfColorLine("", "No result from component yet send heartbeat");
  KestrovanJsonMap* heartbeat = answerMap();
  if (heartbeat != nullptr)
    addKestrovanJsonMapUnit(heartbeat, "result", "heartbeat");
  return heartbeat;
}

static void freeWait(KestrovanMainThreadWait* wait) {
  if (wait == nullptr)
    return;
  KestrovanJsonFinal(wait->map);
  freeSecret(wait->origin);
  freeSecret(wait->sessionId);
  free(wait->callId);
  free(wait);
}

// Under handOff.lock.
static void unlistLocked(KestrovanMainThreadWait* wait) {
  for (KestrovanMainThreadWait** link = &handOff.waits; *link != nullptr; link = &(*link)->next) {
    if (*link == wait) {
      *link = wait->next;
      wait->next = nullptr;
      return;
    }
  }
}

KestrovanJsonMap* KestrovanMainThread_begin(KestrovanJsonMap** map, const char* origin, int socket,
                                            KestrovanMainThreadResume resume, void* context,
                                            KestrovanMainThreadWait** wait) {
  if (wait != nullptr)
    *wait = nullptr;
  KestrovanCaller caller;
  int read = readCaller(map != nullptr ? *map : nullptr, origin, &caller);
  if (read != KESTROVAN_OK) {
    KestrovanJsonMap* refused = read > 0 ? answerMap() : nullptr;
    if (refused != nullptr)
      addKestrovanJsonMapUnit(refused, "result", (int32_t)read);
    return refused;
  }
  KestrovanMainThreadWait* own = (KestrovanMainThreadWait*)calloc(1, sizeof(KestrovanMainThreadWait));
  if (own != nullptr) {
    own->origin = newMem(caller.origin);
    own->sessionId = caller.sessionId;
    own->callId = caller.callId;
    caller.sessionId = nullptr;
    caller.callId = nullptr;
  }
  freeCaller(&caller);
  if (own == nullptr || own->origin == nullptr || wait == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    freeWait(own);
    return nullptr;
  }
  KestrovanMainThread_domainOf(own->origin, own->domain, sizeof(own->domain));
  own->index = -1;
  own->socket = socket;
  own->resume = resume;
  own->context = context;

  KestrovanJsonMap* answer = nullptr;
  bool waits = false;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    uint64_t now = nowMs();
    dropStaleLocked(now);
    own->deadline = now + KESTROVAN_MAIN_THREAD_WAIT_SECONDS * 1000ull;
    if (!closing()) {
      int index = findLocked(*own);
      if (index != -1) {
        printfColorLine("Wait main thread result", "");
        attachLocked(*own, index);
      } else {
        // The request's map becomes the call's, now or once there is room.
        own->map = map != nullptr ? *map : nullptr;
        if (map != nullptr)
          *map = nullptr;
        placeLocked(*own);
        if (own->index == -1)
          printfColorWarningLine("Main thread calls: ", "No room, waiting");
      }
      if (finishedLocked(*own)) {
        answer = collectLocked(*own);
      } else {
        own->next = handOff.waits;
        handOff.waits = own;
        waits = true;
      }
    }
  }
  if (waits) {
    *wait = own;
    return nullptr;
  }
  // Collected at once, or at shutdown: no call runs any more.
  freeWait(own);
  return answer != nullptr ? answer : heartbeatAnswer();
}

void KestrovanMainThread_suspended(KestrovanMainThreadWait* wait) {
  if (wait == nullptr)
    return;
  std::vector<KestrovanResumeOrder> due;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    wait->suspended = true;
    uint64_t nearest = 0;
    serviceLocked(nowMs(), &due, &nearest);
    if (nearest != 0)
      needWaiterLocked();
  }
  resumeAll(due);
}

KestrovanJsonMap* KestrovanMainThread_end(KestrovanMainThreadWait* wait, bool* hungUp) {
  if (hungUp != nullptr)
    *hungUp = false;
  if (wait == nullptr)
    return nullptr;
  KestrovanJsonMap* result = nullptr;
  bool gone = false;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    unlistLocked(wait);
    gone = wait->hungUp;
    if (!gone && finishedLocked(*wait))
      result = collectLocked(*wait);
    else
      detachLocked(*wait, nowMs());
  }
  freeWait(wait);
  if (gone) {
    if (hungUp != nullptr)
      *hungUp = true;
    printfColorWarningLine("Main thread wait: ", "Page gone");
    return nullptr;
  }
  return result != nullptr ? result : heartbeatAnswer();
}

void KestrovanMainThread_cancel(KestrovanMainThreadWait* wait) {
  if (wait == nullptr)
    return;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    unlistLocked(wait);
    detachLocked(*wait, nowMs());
  }
  freeWait(wait);
}

// The blocking form: the resume wakes this thread.
struct KestrovanBlockingWait {
  std::mutex lock;
  std::condition_variable resumed;
  bool done = false;
};

static void resumeBlocking(void* context) {
  KestrovanBlockingWait* blocking = (KestrovanBlockingWait*)context;
  // Notified under the lock: the waiting thread may free it once done.
  std::lock_guard<std::mutex> guard(blocking->lock);
  blocking->done = true;
  blocking->resumed.notify_all();
}

KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin) {
  KestrovanBlockingWait blocking;
  KestrovanMainThreadWait* wait = nullptr;
  KestrovanJsonMap* answer = KestrovanMainThread_begin(map, origin, -1, resumeBlocking, &blocking, &wait);
  if (wait == nullptr)
    return answer;
  KestrovanMainThread_suspended(wait);
  {
    std::unique_lock<std::mutex> guard(blocking.lock);
    blocking.resumed.wait(guard, [&] { return blocking.done; });
  }
  return KestrovanMainThread_end(wait, nullptr);
}

// ---- The main thread ----

// Under handOff.lock.
static bool pendingLocked() {
  for (const KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state == KESTROVAN_CALL_PENDING)
      return true;
  }
  return false;
}

void KestrovanMainThread_wait(int duration) {
  std::unique_lock<std::mutex> guard(handOff.lock);
  auto ready = [] { return closing() || pendingLocked(); };
  if (duration < 0)
    handOff.changed.wait(guard, ready);
  else
    handOff.changed.wait_for(guard, std::chrono::milliseconds(duration), ready);
}

// Under handOff.lock. When the main thread last ran a call of domain (0:
// not lately).
static uint64_t servedTickLocked(const char* domain) {
  for (const KestrovanServedDomain& served : handOff.served)
    if (served.tick != 0 && strcmp(served.domain, domain) == 0)
      return served.tick;
  return 0;
}

// Under handOff.lock. The domain forgotten first is the one served least
// recently, which stays first in line when forgotten.
static void markServedLocked(const char* domain) {
  KestrovanServedDomain* slot = nullptr;
  for (KestrovanServedDomain& served : handOff.served) {
    if (served.tick != 0 && strcmp(served.domain, domain) == 0) {
      slot = &served;
      break;
    }
    if (slot == nullptr || served.tick < slot->tick)
      slot = &served;
  }
  ArrayCopy(slot->domain, sizeof(slot->domain), domain);
  slot->tick = ++handOff.serveTicks;
}

bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch) {
  int index = -1;
  uint64_t serial = 0;
  KestrovanJsonMap* map = nullptr;
  const char* origin = nullptr;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    dropStaleLocked(nowMs());
    // The domain served least recently first; within it, arrival order.
    uint64_t chosenTick = 0;
    for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
      const KestrovanMainThreadCall& call = handOff.calls[i];
      if (call.state != KESTROVAN_CALL_PENDING)
        continue;
      uint64_t tick = servedTickLocked(call.domain);
      if (index == -1 || tick < chosenTick || (tick == chosenTick && call.serial < handOff.calls[index].serial)) {
        index = i;
        chosenTick = tick;
      }
    }
    if (index == -1)
      return false;
    KestrovanMainThreadCall& call = handOff.calls[index];
    markServedLocked(call.domain);
    map = call.map;
    call.map = nullptr;
    // The origin stays in the entry, which nothing frees while it runs.
    origin = call.origin;
    serial = call.serial;
    call.state = KESTROVAN_CALL_RUNNING;
  }

  // The call's lines go out together, before its caller sees the result.
  KestrovanTrace_beginRequest();
  printfColorLine("Main thread mode call start", "");
  runningToken = serial;
  KestrovanJsonMap* result = dispatch != nullptr ? dispatch(KestrovanProcessID, map, origin) : nullptr;
  runningToken = 0;
  printfColorLine("Main thread mode call finish", "");
  KestrovanTrace_endRequest();
  KestrovanJsonFinal(map);

  std::lock_guard<std::mutex> guard(handOff.lock);
  KestrovanMainThreadCall& call = handOff.calls[index];
  if (call.state == KESTROVAN_CALL_RUNNING && call.serial == serial) {
    call.result = result;
    call.finishedAt = nowMs();
    call.state = KESTROVAN_CALL_FINISHED;
  } else {
    KestrovanJsonFinal(result);
  }
  changedLocked();
  return true;
}

void KestrovanMainThread_releaseWaits() {
  std::vector<KestrovanResumeOrder> due;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    uint64_t nearest = 0;
    serviceLocked(nowMs(), &due, &nearest);
    changedLocked();
  }
  resumeAll(due);
  // The waiter resumes what it had taken out and ends: nothing is left
  // suspended while closing.
  std::unique_lock<std::mutex> guard(handOff.lock);
  handOff.waiterEnded.wait(guard, [] { return !handOff.waiterRunning; });
}

void KestrovanMainThread_reset() {
  std::lock_guard<std::mutex> guard(handOff.lock);
  for (KestrovanMainThreadCall& call : handOff.calls) {
    // A running call's map and origin are in use until it returns.
    if (call.state != KESTROVAN_CALL_RUNNING)
      freeLocked(call);
  }
  changedLocked();
}

// ---- The adapters' hooks ----

extern "C" uint64_t KestrovanHost_callToken(void) {
  return runningToken;
}

extern "C" int KestrovanHost_callAbandoned(uint64_t token) {
  if (token == 0)
    return 0;
  if (stopping.load() || closing())
    return 1;
  std::lock_guard<std::mutex> guard(handOff.lock);
  uint64_t now = nowMs();
  for (const KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state != KESTROVAN_CALL_FREE && call.serial == token)
      return call.unwaited && now - call.unwaitedSince >= KESTROVAN_ABANDON_SECONDS * 1000ull ? 1 : 0;
  }
  return 0;
}
