// mainthread.cpp -- the main-thread hand-off table, the listener-side wait
// and the interruptible sleep.
#include "service/mainthread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "params/params.h"
#include "service/service.h"
#include "support/support.h"

// The interruptible sleep: m makes the isFinal test and the wait one step
// with respect to cv_finalize, so that a finalisation is never missed.
static std::mutex m;
static std::condition_variable cv;
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
  uint64_t serial;            // arrival number, never reused: orders calls, tells a reused entry apart
  KestrovanJsonMap* map;      // the call's own map (PENDING)
  char* origin;
  char* sessionId;
  char* callId;
  KestrovanJsonMap* result;   // FINISHED
  uint64_t finishedAt;        // elapsedSeconds() when it finished
};

struct KestrovanHandOff {
  std::mutex lock;
  std::condition_variable changed;  // arrival, finish, entry freed, shutdown
  KestrovanMainThreadCall calls[KESTROVAN_MAIN_THREAD_CALLS];
  uint64_t arrivals = 0;
};

static KestrovanHandOff handOff;

// A request's caller name; the texts belong to the request.
struct KestrovanCaller {
  const char* origin;
  char* sessionId;
  char* callId;
};

void cv_finalize() {
  {
    std::lock_guard<std::mutex> lock(m);
    isFinal.store(true);
  }
  cv.notify_all();
  // Taking the lock orders this wake after any waiter's last look at the
  // flags, so none of them sleeps through it.
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
  }
  handOff.changed.notify_all();
}

#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
static std::atomic<uint64_t> skippedSeconds{0};

void KestrovanMainThread_skipSeconds(unsigned int seconds) {
  skippedSeconds += seconds;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
  }
  handOff.changed.notify_all();
}
#endif

// Whole seconds of a clock that only moves forward: the wait and the keeping
// of a result measure elapsed time, which a local clock set back (end of
// daylight saving, a manual change) or unreadable must not stretch.
static uint64_t elapsedSeconds() {
  uint64_t seconds = (uint64_t)std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
#ifdef KESTROVAN_MAIN_THREAD_CLOCK_SEAM
  seconds += skippedSeconds.load();
#endif
  return seconds;
}

static bool closing() {
  return KestrovanClose.load() || isFinal.load();
}

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

// Under handOff.lock.
static bool sameCallerLocked(const KestrovanMainThreadCall& call, const KestrovanCaller& caller) {
  return call.state != KESTROVAN_CALL_FREE && strcmp(call.origin, caller.origin) == 0 &&
         strcmp(call.sessionId, caller.sessionId) == 0 && strcmp(call.callId, caller.callId) == 0;
}

// Under handOff.lock. The caller's oldest call in the table, or -1.
static int findLocked(const KestrovanCaller& caller) {
  int found = -1;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
    if (sameCallerLocked(handOff.calls[i], caller) &&
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
  call.origin = nullptr;
  call.sessionId = nullptr;
  call.callId = nullptr;
  call.finishedAt = 0;
  call.state = KESTROVAN_CALL_FREE;
}

// Under handOff.lock. A result its caller never came back for must not keep
// its entry for ever.
static void dropStaleLocked(uint64_t now) {
  bool dropped = false;
  for (KestrovanMainThreadCall& call : handOff.calls) {
    if (call.state == KESTROVAN_CALL_FINISHED && now >= call.finishedAt + KESTROVAN_RESULT_KEEP_SECONDS) {
      printfColorWarningLine("Main thread result not collected: ", "Dropped");
      freeLocked(call);
      dropped = true;
    }
  }
  if (dropped)
    handOff.changed.notify_all();
}

// Under handOff.lock. Registers *map as the caller's new call when there is
// room (taking *map); the entry's index, or -1.
static int startLocked(KestrovanJsonMap** map, const KestrovanCaller& caller) {
  if (map == nullptr || *map == nullptr || closing())
    return -1;
  int room = -1;
  int ofOrigin = 0;
  for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
    const KestrovanMainThreadCall& call = handOff.calls[i];
    if (call.state == KESTROVAN_CALL_FREE) {
      if (room == -1)
        room = i;
    } else if (strcmp(call.origin, caller.origin) == 0) {
      ofOrigin++;
    }
  }
  if (room == -1 || ofOrigin >= KESTROVAN_MAIN_THREAD_CALLS_PER_ORIGIN)
    return -1;
  KestrovanMainThreadCall& call = handOff.calls[room];
  call.origin = newMem(caller.origin);
  call.sessionId = newMem(caller.sessionId);
  call.callId = newMem(caller.callId);
  if (call.origin == nullptr || call.sessionId == nullptr || call.callId == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    freeLocked(call);
    return -1;
  }
  call.map = *map;
  *map = nullptr;
  call.serial = ++handOff.arrivals;
  call.state = KESTROVAN_CALL_PENDING;
  printfColorLine("Start main thread", "");
  handOff.changed.notify_all();
  return room;
}

static KestrovanJsonMap* answerMap() {
  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  if (map == nullptr)
    showMemoryFail("MainThread", __LINE__);
  return map;
}

KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin) {
  uint64_t start = elapsedSeconds();
  KestrovanCaller caller;
  int read = readCaller(map != nullptr ? *map : nullptr, origin, &caller);
  if (read != KESTROVAN_OK) {
    KestrovanJsonMap* refused = read > 0 ? answerMap() : nullptr;
    if (refused != nullptr)
      addKestrovanJsonMapUnit(refused, "result", (int32_t)read);
    return refused;
  }

  KestrovanJsonMap* result = nullptr;
  bool collected = false;
  {
    std::unique_lock<std::mutex> guard(handOff.lock);
    dropStaleLocked(start);
    int index = findLocked(caller);
    if (index != -1) {
      printfColorLine("Wait main thread result", "");
    } else {
      index = startLocked(map, caller);
      if (index == -1 && !closing())
        printfColorWarningLine("Main thread calls: ", "No room, waiting");
    }
    uint64_t serial = index != -1 ? handOff.calls[index].serial : 0;

    for (;;) {
      // The entry went away: collected by another request of this caller,
      // or dropped. Look again, and start this request's own call if its
      // map is still its own.
      if (index != -1 && (handOff.calls[index].state == KESTROVAN_CALL_FREE || handOff.calls[index].serial != serial))
        index = -1;
      if (index == -1) {
        index = findLocked(caller);
        if (index == -1)
          index = startLocked(map, caller);
        serial = index != -1 ? handOff.calls[index].serial : 0;
      }
      if (index != -1 && handOff.calls[index].state == KESTROVAN_CALL_FINISHED) {
        // Handed out exactly once: the entry is emptied under the lock.
        result = handOff.calls[index].result;
        handOff.calls[index].result = nullptr;
        freeLocked(handOff.calls[index]);
        handOff.changed.notify_all();
        collected = true;
        printfColorLine("Main thread mode finish!", "");
        break;
      }
      // At shutdown no call runs any more: answer at once.
      if (closing() || elapsedSeconds() >= start + KESTROVAN_MAIN_THREAD_WAIT_SECONDS)
        break;
      handOff.changed.wait_for(guard, std::chrono::milliseconds(KESTROVAN_MAIN_THREAD_POLL_MS));
    }
  }
  freeCaller(&caller);
  if (collected)
    return result;

  printfColorLine("", "No result from component yet send heartbeat");
  KestrovanJsonMap* heartbeat = answerMap();
  if (heartbeat != nullptr)
    addKestrovanJsonMapUnit(heartbeat, "result", "heartbeat");
  return heartbeat;
}

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
  handOff.changed.wait_for(guard, std::chrono::milliseconds(duration),
                           [] { return closing() || pendingLocked(); });
}

bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch) {
  int index = -1;
  uint64_t serial = 0;
  KestrovanJsonMap* map = nullptr;
  const char* origin = nullptr;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    dropStaleLocked(elapsedSeconds());
    for (int i = 0; i < KESTROVAN_MAIN_THREAD_CALLS; i++) {
      if (handOff.calls[i].state == KESTROVAN_CALL_PENDING &&
          (index == -1 || handOff.calls[i].serial < handOff.calls[index].serial))
        index = i;
    }
    if (index == -1)
      return false;
    KestrovanMainThreadCall& call = handOff.calls[index];
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
  KestrovanJsonMap* result = dispatch != nullptr ? dispatch(KestrovanProcessID, map, origin) : nullptr;
  printfColorLine("Main thread mode call finish", "");
  KestrovanTrace_endRequest();
  KestrovanJsonFinal(map);

  std::lock_guard<std::mutex> guard(handOff.lock);
  KestrovanMainThreadCall& call = handOff.calls[index];
  if (call.state == KESTROVAN_CALL_RUNNING && call.serial == serial) {
    call.result = result;
    call.finishedAt = elapsedSeconds();
    call.state = KESTROVAN_CALL_FINISHED;
  } else {
    KestrovanJsonFinal(result);
  }
  handOff.changed.notify_all();
  return true;
}

void KestrovanMainThread_reset() {
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    for (KestrovanMainThreadCall& call : handOff.calls) {
      // A running call's map and origin are in use until it returns.
      if (call.state != KESTROVAN_CALL_RUNNING)
        freeLocked(call);
    }
  }
  handOff.changed.notify_all();
}
