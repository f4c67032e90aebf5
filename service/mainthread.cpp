// mainthread.cpp -- the main-thread hand-off, the listener-side wait and the
// interruptible sleep.
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

void cv_finalize() {
  {
    std::lock_guard<std::mutex> lock(m);
    isFinal.store(true);
  }
  cv.notify_all();
}

enum KestrovanCallState {
  KESTROVAN_CALL_IDLE,       // nothing pending, no result waiting
  KESTROVAN_CALL_REQUESTED,  // a listener handed a call over
  KESTROVAN_CALL_RUNNING,    // the main thread is running it
  KESTROVAN_CALL_FINISHED,   // its result waits for a request of its origin
};

struct KestrovanHandOff {
  std::mutex lock;
  KestrovanCallState state = KESTROVAN_CALL_IDLE;
  KestrovanJsonMap* map = nullptr;     // the call's own map (REQUESTED, RUNNING)
  char* origin = nullptr;              // the call's own origin, until collected
  KestrovanJsonMap* result = nullptr;  // the finished result (FINISHED)
  uint64_t finishedAt = 0;             // elapsedSeconds() when it finished
  int iHeartBeats = 0;                 // heartbeats sent for the current call
};

static KestrovanHandOff handOff;

// Whole seconds of a clock that only moves forward: the wait and the keeping
// of a result measure elapsed time, which a local clock set back (end of
// daylight saving, a manual change) or unreadable must not stretch.
static uint64_t elapsedSeconds() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Under handOff.lock. Drops the call's leftovers and returns to idle.
static void clearLocked() {
  KestrovanJsonFinal(handOff.map);
  KestrovanJsonFinal(handOff.result);
  freeSecret(handOff.origin);
  handOff.origin = nullptr;
  handOff.state = KESTROVAN_CALL_IDLE;
  handOff.iHeartBeats = 0;
  handOff.finishedAt = 0;
}

// Under handOff.lock.
static bool collectableLocked(const char* origin) {
  return handOff.state == KESTROVAN_CALL_FINISHED && handOff.origin != nullptr && origin != nullptr &&
         strcmp(handOff.origin, origin) == 0;
}

// Under handOff.lock. A result its page never came back for must not block
// every other page for ever.
static void dropStaleLocked(uint64_t now) {
  if (handOff.state == KESTROVAN_CALL_FINISHED && now >= handOff.finishedAt + KESTROVAN_RESULT_KEEP_SECONDS) {
    printfColorWarningLine("Main thread result not collected: ", "Dropped");
    clearLocked();
  }
}

static KestrovanJsonMap* heartbeatMap() {
  KestrovanJsonMap* map = (KestrovanJsonMap*)newMemSize(sizeof(KestrovanJsonMap));
  if (map == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    return nullptr;
  }
  addKestrovanJsonMapUnit(map, "result", "heartbeat");
  return map;
}

// Under handOff.lock. Hands *map over as the new call when nothing is
// pending; false when a call is pending or finished, or no memory is left.
static bool startLocked(KestrovanJsonMap** map, const char* origin) {
  if (handOff.state != KESTROVAN_CALL_IDLE || map == nullptr || *map == nullptr)
    return false;
  char* ownOrigin = newMem(origin != nullptr ? origin : "");
  if (ownOrigin == nullptr) {
    showMemoryFail("MainThread", __LINE__);
    return false;
  }
  handOff.map = *map;
  *map = nullptr;
  handOff.origin = ownOrigin;
  handOff.iHeartBeats = 0;
  handOff.state = KESTROVAN_CALL_REQUESTED;
  printfColorLine("Start main thread", "");
  return true;
}

KestrovanJsonMap* KestrovanMainThread_call(KestrovanJsonMap** map, const char* origin) {
  uint64_t start = elapsedSeconds();
  bool started = false;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    dropStaleLocked(start);
    started = startLocked(map, origin);
    if (!started)
      printfColorLine("Wait main thread result", "");
  }

  for (;;) {
    {
      std::lock_guard<std::mutex> guard(handOff.lock);
      if (collectableLocked(origin)) {
        printfColorLine("Main thread mode finish!", "");
        break;
      }
      // The call this request waited behind was collected by its own page:
      // this request's call can go now instead of after a heartbeat.
      if (!started)
        started = startLocked(map, origin);
    }
    // At shutdown no call runs any more: answer at once.
    if (KestrovanClose.load())
      break;
    cv_sleep(KESTROVAN_MAIN_THREAD_POLL_MS);
    if (elapsedSeconds() >= start + KESTROVAN_MAIN_THREAD_WAIT_SECONDS)
      break;
  }

  std::lock_guard<std::mutex> guard(handOff.lock);
  if (collectableLocked(origin)) {
    // Handed out exactly once: the slot is emptied under the lock.
    KestrovanJsonMap* result = handOff.result;
    handOff.result = nullptr;
    clearLocked();
    return result;
  }
  printfColorLine("", "No result from component yet send heartbeat");
  handOff.iHeartBeats++;
  return heartbeatMap();
}

bool KestrovanMainThread_poll(KestrovanDispatchFunction dispatch) {
  KestrovanJsonMap* map = nullptr;
  const char* origin = nullptr;
  {
    std::lock_guard<std::mutex> guard(handOff.lock);
    if (handOff.state != KESTROVAN_CALL_REQUESTED)
      return false;
    map = handOff.map;
    handOff.map = nullptr;
    // The origin stays in the hand-off, which frees it only after the call
    // has finished and its result was collected or dropped.
    origin = handOff.origin;
    handOff.state = KESTROVAN_CALL_RUNNING;
  }

  printfColorLine("Main thread mode call start", "");
  KestrovanJsonMap* result = dispatch != nullptr ? dispatch(KestrovanProcessID, map, origin) : nullptr;
  printfColorLine("Main thread mode call finish", "");
  KestrovanJsonFinal(map);

  std::lock_guard<std::mutex> guard(handOff.lock);
  handOff.result = result;
  handOff.finishedAt = elapsedSeconds();
  handOff.state = KESTROVAN_CALL_FINISHED;
  return true;
}

void KestrovanMainThread_reset() {
  std::lock_guard<std::mutex> guard(handOff.lock);
  // A running call belongs to the main thread, which is the caller here.
  clearLocked();
}
