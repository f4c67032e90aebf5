// SPDX-License-Identifier: Apache-2.0
// trace.cpp -- the coloured console trace on standard output and its mirror
// into the levelled log file at level 5.
#include "support/trace.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>
#include <unistd.h>

#include "support/codes.h"
#include "platform/platform.h"
#include "support/log.h"
#include "support/copy.h"
#include "support/memory.h"

char PrefixName[64] = "";
std::atomic<bool> isLogEnable{false};
std::mutex Print_Lock;

static const char kLabelNormal[64] = "[Normal]";
static const char kLabelWarning[64] = "[Warning]";
static const char kLabelError[64] = "[Error]";


// The ANSI sequence of a colour number (every one is 4 or 5 bytes).
static const char* colourSequence(int colour, size_t* length) {
  *length = 5;
  switch (colour) {
    case 4:
    case KESTROVAN_COLOR_RED:
      return "\033[31m";
    case KESTROVAN_COLOR_GREEN:
    case KESTROVAN_COLOR_RESULT:
      return "\033[32m";
    case KESTROVAN_COLOR_YELLOW:
      return "\033[33m";
    case KESTROVAN_COLOR_BOLD:
      *length = 4;
      return "\033[1m";
    default:
      *length = 4;
      return "\033[0m";
  }
}

static const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

static const char kReset[] = "\033[0m";
static const char kResetLine[] = "\033[0m\n";
static const char kBold[] = "\033[1m";

// ---- Where finished text goes ----
//
// Until the service hands the trace its console, text goes to stdio (tests
// capture standard output that way). After KestrovanTrace_useConsole it is
// written without waiting: what a full pipe does not take now waits in a
// bounded queue that a writer thread of its own empties; text that does not
// fit the queue either is dropped in whole lines and counted, and the count
// is reported once the console takes text again. So a console nobody reads
// never holds up a request, and lines stay whole and in order.
namespace {
struct TraceConsole {
  std::mutex lock;
  std::condition_variable changed;  // queue filled, or emptied
  int fd = -1;
  int kind = KESTROVAN_CONSOLE_PLAIN;
  // Under lock:
  char* queue = nullptr;  // KESTROVAN_TRACE_QUEUE bytes once something waited
  size_t head = 0;        // first byte not yet written
  size_t used = 0;        // end of the queued bytes
  uint64_t dropped = 0;   // lines dropped since the last report
  bool writer = false;    // the writer thread runs
};
}  // namespace

#define KESTROVAN_TRACE_QUEUE (1024 * 1024)

// Created once and never destroyed: the writer thread may still run while
// the process ends.
static std::atomic<TraceConsole*> traceConsole{nullptr};

static uint64_t countLines(const char* data, size_t length) {
  uint64_t lines = 0;
  for (const char* at = data; (at = (const char*)memchr(at, '\n', length - (size_t)(at - data))) != nullptr; at++)
    lines++;
  return lines;
}

static void writerLoop(TraceConsole* console);

// Under console->lock: queues what the console did not take.
static void queueLocked(TraceConsole* console, const char* data, size_t length) {
  if (console->queue == nullptr)
    console->queue = (char*)malloc(KESTROVAN_TRACE_QUEUE);
  if (console->queue != nullptr && console->head > 0 && length > KESTROVAN_TRACE_QUEUE - console->used) {
    memmove(console->queue, console->queue + console->head, console->used - console->head);
    console->used -= console->head;
    console->head = 0;
  }
  if (console->queue == nullptr || length > KESTROVAN_TRACE_QUEUE - console->used) {
    console->dropped += countLines(data, length);
    return;
  }
  memcpy(console->queue + console->used, data, length);
  console->used += length;
  if (!console->writer) {
    console->writer = true;
    std::thread(writerLoop, console).detach();
  }
  console->changed.notify_all();
}

// Under console->lock: writes what the console takes now and queues the
// rest, behind anything queued before. A piece is written only when what
// the console may leave of it fits the queue: it goes out whole or not at
// all, never cut.
static void writePieceLocked(TraceConsole* console, const char* data, size_t length) {
  if (console->used == console->head && length <= KESTROVAN_TRACE_QUEUE) {
    long written = KestrovanPlatform_consoleWrite(console->fd, console->kind, data, length);
    if (written < 0)
      return;  // nobody will read it
    data += written;
    length -= (size_t)written;
    if (length == 0)
      return;
  }
  queueLocked(console, data, length);
}

// Text longer than the queue goes in pieces of whole lines.
static void writeLocked(TraceConsole* console, const char* data, size_t length) {
  while (length > KESTROVAN_TRACE_QUEUE) {
    size_t piece = KESTROVAN_TRACE_QUEUE;
    while (piece > 0 && data[piece - 1] != '\n')
      piece--;
    if (piece == 0) {
      // One line longer than the queue: dropped whole.
      const char* end = (const char*)memchr(data, '\n', length);
      piece = end != nullptr ? (size_t)(end - data) + 1 : length;
      console->dropped++;
    } else {
      writePieceLocked(console, data, piece);
    }
    data += piece;
    length -= piece;
  }
  writePieceLocked(console, data, length);
}

static void writerLoop(TraceConsole* console) {
  std::unique_lock<std::mutex> guard(console->lock);
  for (;;) {
    console->changed.wait(guard, [console] { return console->used > console->head || console->dropped > 0; });
    if (console->used > console->head) {
      long written = KestrovanPlatform_consoleWrite(console->fd, console->kind, console->queue + console->head,
                                                    console->used - console->head);
      if (written < 0) {
        console->dropped += countLines(console->queue + console->head, console->used - console->head);
        console->head = console->used = 0;
      } else if (written == 0) {
        guard.unlock();
        KestrovanPlatform_consoleWait(console->fd, 100);
        guard.lock();
        continue;
      } else {
        console->head += (size_t)written;
      }
      if (console->head == console->used) {
        console->head = console->used = 0;
        console->changed.notify_all();
      }
    }
    if (console->used == console->head && console->dropped > 0) {
      // The console takes text again: say how much it missed.
      uint64_t dropped = console->dropped;
      console->dropped = 0;
      guard.unlock();
      char count[24];
      snprintf(count, sizeof(count), "%llu", (unsigned long long)dropped);
      printfColorWarningLine("Console not read, trace lines dropped: ", count);
      guard.lock();
    }
  }
}

static void emitText(const char* data, size_t length) {
  if (length == 0)
    return;
  TraceConsole* console = traceConsole.load(std::memory_order_acquire);
  if (console == nullptr) {
    fwrite(data, 1, length, stdout);
    return;
  }
  std::lock_guard<std::mutex> guard(console->lock);
  writeLocked(console, data, length);
}

void KestrovanTrace_useConsole() {
  if (traceConsole.load() != nullptr)
    return;
  fflush(stdout);
  int kind = KESTROVAN_CONSOLE_PLAIN;
  int fd = KestrovanPlatform_consoleOpen(&kind);
  if (fd < 0)
    return;
  TraceConsole* console = new (std::nothrow) TraceConsole();
  if (console == nullptr) {
    close(fd);
    return;
  }
  console->fd = fd;
  console->kind = kind;
  traceConsole.store(console, std::memory_order_release);
}

void KestrovanTrace_flush() {
  fflush(stdout);
  TraceConsole* console = traceConsole.load(std::memory_order_acquire);
  if (console == nullptr)
    return;
  std::unique_lock<std::mutex> guard(console->lock);
  console->changed.wait_for(guard, std::chrono::milliseconds(KESTROVAN_TRACE_FLUSH_MS),
                            [console] { return console->used == console->head; });
}

// ---- The thread's trace buffer ----
//
// Every line is put together in its thread's buffer, kept for the thread's
// life, and handed out in one piece: lines of different threads never
// interleave, and a line costs one copy without the heap. While the thread
// runs a request (KestrovanTrace_beginRequest) its lines stay in the buffer
// and go out together when the request ends: one write per request.
namespace {
struct ThreadTrace {
  ThreadTrace() = default;
  ThreadTrace(const ThreadTrace&) = delete;
  ThreadTrace& operator=(const ThreadTrace&) = delete;
  ~ThreadTrace() {
    if (heap != nullptr) {
      secureWipe(heap, capacity);
      free(heap);
    }
  }
  char* data() { return heap != nullptr ? heap : local; }

  char local[2048];
  char* heap = nullptr;
  size_t used = 0;
  size_t capacity = sizeof(local);
  int requests = 0;  // nesting of beginRequest
};
thread_local ThreadTrace threadTrace;
}  // namespace

// Past this a request's lines go out before the request ends (still whole
// lines), so that a request with a huge trace does not hold it all.
#define KESTROVAN_TRACE_HELD_MAX (64 * 1024)

// Writes out and forgets what the thread's buffer holds from start on.
static void emitFrom(ThreadTrace& trace, size_t start) {
  if (trace.used <= start)
    return;
  emitText(trace.data() + start, trace.used - start);
  // What was written may quote a page's values: it does not stay behind.
  secureWipe(trace.data() + start, trace.used - start);
  trace.used = start;
}

void KestrovanTrace_beginRequest() { threadTrace.requests++; }

void KestrovanTrace_flushRequest() { emitFrom(threadTrace, 0); }

void KestrovanTrace_endRequest() {
  ThreadTrace& trace = threadTrace;
  if (trace.requests > 0)
    trace.requests--;
  if (trace.requests == 0)
    emitFrom(trace, 0);
}

namespace {
// One line (or one coloured piece) being put together at the end of the
// thread's buffer.
class TraceText {
 public:
  TraceText() : trace_(threadTrace), start_(trace_.used) {}
  TraceText(const TraceText&) = delete;
  TraceText& operator=(const TraceText&) = delete;

  void add(const char* text) { add(text, strlen(text)); }
  void add(const char* text, size_t length) {
    if (length > trace_.capacity - trace_.used && !grow(length)) {
      // No memory for a longer line: what is there goes out first, then
      // this piece by itself. The text is the same, only in more writes.
      emitFrom(trace_, 0);
      start_ = 0;
      emitText(text, length);
      return;
    }
    memcpy(trace_.data() + trace_.used, text, length);
    trace_.used += length;
  }
  // Room for length more bytes at the end, or null (no memory: the caller
  // adds piece by piece instead).
  char* reserve(size_t length) {
    if (length > trace_.capacity - trace_.used && !grow(length))
      return nullptr;
    char* at = trace_.data() + trace_.used;
    trace_.used += length;
    return at;
  }
  void addColoured(int colour, const char* text) {
    size_t length = 0;
    const char* sequence = colourSequence(colour, &length);
    add(sequence, length);
    add(text);
    add(kReset, sizeof(kReset) - 1);
  }
  // The piece is complete: out now, or with the request's other lines.
  void write() {
    if (trace_.requests == 0)
      emitFrom(trace_, start_);
    else if (trace_.used > KESTROVAN_TRACE_HELD_MAX)
      emitFrom(trace_, 0);
    start_ = trace_.used;
  }

 private:
  bool grow(size_t length) {
    size_t capacity = trace_.capacity;
    while (capacity - trace_.used < length) {
      if (capacity > ((size_t)-1) / 2)
        return false;
      capacity *= 2;
    }
    char* bigger = (char*)malloc(capacity);
    if (bigger == nullptr)
      return false;
    memcpy(bigger, trace_.data(), trace_.used);
    secureWipe(trace_.data(), trace_.capacity);
    free(trace_.heap);
    trace_.heap = bigger;
    trace_.capacity = capacity;
    return true;
  }

  ThreadTrace& trace_;
  size_t start_;
};
}  // namespace

void KestrovanTrace_text(const char* text, size_t length) {
  if (text == nullptr)
    return;
  TraceText out;
  out.add(text, length);
  out.write();
}

void printfColor(int colour, const char* text, int noLog) {
  // A null text prints nothing: a bare colour sequence would leave the
  // terminal coloured.
  if (text == nullptr)
    return;
  TraceText out;
  out.addColoured(colour, text);
  out.write();
  if (noLog == 0 && zrlog_wants(5))
    zrlog(5, 0, "%s", text);
}

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

// The bold timestamp that opens a line. Each thread keeps the text of the
// current second: a busy service writes dozens of lines a second, and the
// local-time conversion is by far the dearest part of a line.
static void addTimestamp(TraceText& out) {
  thread_local time_t second = (time_t)-1;
  thread_local char stamp[80];
  thread_local size_t stampLength = 0;
  time_t now = time(nullptr);
  if (now == (time_t)-1 || now != second || stampLength == 0) {
    char text[64];
    struct tm local;
    if (now != (time_t)-1 && localtime_r(&now, &local) != nullptr)
      snprintf(text, sizeof(text), "[%d-%02d-%02d %02d:%02d:%02d]", local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    else
      ArrayCopy(text, sizeof(text), "Unknow time");
    int length = snprintf(stamp, sizeof(stamp), "%s%s%s", kBold, text, kReset);
    stampLength = length > 0 && (size_t)length < sizeof(stamp) ? (size_t)length : 0;
    second = now;
  }
  out.add(stamp, stampLength);
}

// Timestamp (when stamped), bold text ("[prefix]label " before it when
// labelled), coloured value, line end: one piece, its room taken at once.
static void writeLine(bool stamped, const char* label, const char* text, int colour, const char* value) {
  TraceText out;
  if (stamped)
    addTimestamp(out);
  size_t prefixLength = label != nullptr ? strnlen(PrefixName, sizeof(PrefixName)) : 0;
  size_t labelLength = label != nullptr ? strlen(label) : 0;
  size_t textLength = strlen(text);
  size_t valueLength = strlen(value);
  size_t sequenceLength = 0;
  const char* sequence = colourSequence(colour, &sequenceLength);
  size_t size = (sizeof(kBold) - 1) + (label != nullptr ? prefixLength + labelLength + 3 : 0) + textLength +
                (sizeof(kReset) - 1) + sequenceLength + valueLength + (sizeof(kResetLine) - 1);
  char* at = out.reserve(size);
  if (at == nullptr) {
    // No memory for the line in one piece: the same text in pieces.
    out.add(kBold, sizeof(kBold) - 1);
    if (label != nullptr) {
      out.add("[", 1);
      out.add(PrefixName, prefixLength);
      out.add("]", 1);
      out.add(label, labelLength);
      out.add(" ", 1);
    }
    out.add(text, textLength);
    out.add(kReset, sizeof(kReset) - 1);
    out.add(sequence, sequenceLength);
    out.add(value, valueLength);
    out.add(kResetLine, sizeof(kResetLine) - 1);
    out.write();
    return;
  }
  memcpy(at, kBold, sizeof(kBold) - 1);
  at += sizeof(kBold) - 1;
  if (label != nullptr) {
    *at++ = '[';
    memcpy(at, PrefixName, prefixLength);
    at += prefixLength;
    *at++ = ']';
    memcpy(at, label, labelLength);
    at += labelLength;
    *at++ = ' ';
  }
  memcpy(at, text, textLength);
  at += textLength;
  memcpy(at, kReset, sizeof(kReset) - 1);
  at += sizeof(kReset) - 1;
  memcpy(at, sequence, sequenceLength);
  at += sequenceLength;
  memcpy(at, value, valueLength);
  at += valueLength;
  memcpy(at, kResetLine, sizeof(kResetLine) - 1);
  out.write();
}

void printfColorLine(const char* text, int colour, const char* value, int depth) {
  text = orEmpty(text);
  value = orEmpty(value);
  if (depth == 0 && zrlog_wants(5))
    zrlog(5, 0, "%s%s", text, value);
  writeLine(depth == 0, nullptr, text, colour, value);
}

void printfColorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_GREEN, value, depth);
}

void printfColorErrorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_RED, value, depth);
}

void printfColorWarningLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_YELLOW, value, depth);
}

void printfColorLine(const char* text, int value, int depth) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorLine(text, number, depth);
}

void printfColorErrorLine(const char* text, int value, int depth) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorErrorLine(text, number, depth);
}

void printfColorWarningLine(const char* text, int value, int depth) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorWarningLine(text, number, depth);
}

// "[prefix]label message" in bold, then the value: put together where the
// line is, so a label needs no text of its own. The log gets the same text.
static void writeLabelled(const char* label, int colour, const char* message, const char* value) {
  message = orEmpty(message);
  value = orEmpty(value);
  if (zrlog_wants(5))
    zrlog(5, 0, "[%s]%s %s%s", PrefixName, label, message, value);
  writeLine(true, label, message, colour, value);
}

void printfColorLine(const char* message, const char* value) {
  writeLabelled(kLabelNormal, KESTROVAN_COLOR_GREEN, message, value);
}

void printfColorWarningLine(const char* message, const char* value) {
  writeLabelled(kLabelWarning, KESTROVAN_COLOR_YELLOW, message, value);
}

void printfColorErrorLine(const char* message, const char* value) {
  writeLabelled(kLabelError, KESTROVAN_COLOR_RED, message, value);
}

void printfColorLine(const char* message, int value) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorLine(message, number);
}

void printfColorWarningLine(const char* message, int value) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorWarningLine(message, number);
}

void printfColorErrorLine(const char* message, int value) {
  char number[16];
  snprintf(number, sizeof(number), "%d", value);
  printfColorErrorLine(message, number);
}

void printfColorLine(const char* text, int colour, const char* value) {
  printfColorLine(text, colour, value, 0);
}

void showNormalState(const char* message, bool state, const char* trueText, const char* falseText) {
  printfColorLine(message, state ? trueText : falseText);
}

void showErrorState(const char* message, bool state, const char* okText, const char* failText) {
  if (state)
    printfColorLine(message, okText);
  else
    printfColorErrorLine(message, failText);
}

void showWarningState(const char* message, bool state, const char* okText, const char* failText) {
  if (state)
    printfColorLine(message, okText);
  else
    printfColorWarningLine(message, failText);
}

void printfWarning(const char* message, bool condition, const char* value) {
  if (condition)
    printfColorWarningLine(message, value);
}

void showMemoryFail(const char* module, int line) {
  printfColorErrorLine("Memory allocate fail at file: ", module);
  printfColorErrorLine("Memory allocate fail at line: ", line);
}

void showNullParameter(const char* name, const char* module, int line) {
  char text[512];
  snprintf(text, sizeof(text), "Parameter %s is null at %s %d", orEmpty(name), orEmpty(module), line);
  printfColorWarningLine("", text);
}

static const char* withLength(size_t shown, size_t length, KestrovanTraceText& buffer) {
  snprintf(buffer + shown, sizeof(buffer) - shown, " ... (%zu bytes)", length);
  return buffer;
}

const char* traceText(const char* text, KestrovanTraceText& buffer) {
  if (text == nullptr)
    return text;
  size_t length = strnlen(text, KESTROVAN_TRACE_TEXT_MAX + 1);
  if (length <= KESTROVAN_TRACE_TEXT_MAX)
    return text;
  length = KESTROVAN_TRACE_TEXT_MAX + strlen(text + KESTROVAN_TRACE_TEXT_MAX);
  size_t shown = KESTROVAN_TRACE_TEXT_MAX;
  while (shown > 0 && ((unsigned char)text[shown] & 0xC0) == 0x80)
    shown--;
  memcpy(buffer, text, shown);
  return withLength(shown, length, buffer);
}

const char* traceMask(size_t length, KestrovanTraceText& buffer) {
  size_t shown = length <= KESTROVAN_TRACE_TEXT_MAX ? length : KESTROVAN_TRACE_TEXT_MAX;
  memset(buffer, '*', shown);
  if (shown == length) {
    buffer[shown] = '\0';
    return buffer;
  }
  return withLength(shown, length, buffer);
}


void printfSeparator() {
  static const char* const kSeparator =
      "===============================================================================";  // 79
  printfColor(KESTROVAN_COLOR_BOLD, kSeparator);
  printfColor(KESTROVAN_COLOR_PLAIN, "\n\n", 1);
}
