// trace.cpp -- the coloured console trace on standard output and its mirror
// into the levelled log file at level 5.
#include "support/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/codes.h"
#include "support/files.h"
#include "support/log.h"
#include "support/text.h"

char PrefixName[64] = "";
std::atomic<bool> isLogEnable{false};
std::mutex Print_Lock;

static const char kModule[] = "Tool";
static const char kLabelNormal[64] = "[Normal]";
static const char kLabelWarning[64] = "[Warning]";
static const char kLabelError[64] = "[Error]";

enum { kColourTime = KESTROVAN_COLOR_BOLD };

static const char* colourSequence(int colour) {
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
      return "\033[1m";
    default:
      return "\033[0m";
  }
}

static const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

static const char kReset[] = "\033[0m";

// One line (or one coloured piece) is put together here and handed to stdio
// in a single call: lines written by different threads never interleave, and
// a line costs one copy, without the heap unless it is long.
namespace {
class TraceText {
 public:
  TraceText() = default;
  TraceText(const TraceText&) = delete;
  TraceText& operator=(const TraceText&) = delete;
  ~TraceText() { free(heap_); }

  void add(const char* text) { add(text, strlen(text)); }
  void add(const char* text, size_t length) {
    if (length > capacity_ - used_ && !grow(length)) {
      // No memory for a longer line: what is there goes out first, then
      // this piece by itself. The text is the same, only in more writes.
      write();
      fwrite(text, 1, length, stdout);
      return;
    }
    memcpy(data() + used_, text, length);
    used_ += length;
  }
  void addColoured(int colour, const char* text) {
    add(colourSequence(colour));
    add(text);
    add(kReset, sizeof(kReset) - 1);
  }
  void write() {
    if (used_ > 0)
      fwrite(data(), 1, used_, stdout);
    used_ = 0;
  }

 private:
  char* data() { return heap_ != nullptr ? heap_ : local_; }
  bool grow(size_t length) {
    size_t capacity = capacity_;
    while (capacity - used_ < length) {
      if (capacity > ((size_t)-1) / 2)
        return false;
      capacity *= 2;
    }
    char* bigger = (char*)malloc(capacity);
    if (bigger == nullptr)
      return false;
    memcpy(bigger, data(), used_);
    free(heap_);
    heap_ = bigger;
    capacity_ = capacity;
    return true;
  }

  char local_[1024];
  char* heap_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = sizeof(local_);
};
}  // namespace

void printfColor(int colour, const char* text, int noLog) {
  // A null text prints nothing: a bare colour sequence would leave the
  // terminal coloured.
  if (text == nullptr)
    return;
  TraceText out;
  out.addColoured(colour, text);
  out.write();
  if (noLog == 0)
    zrlog(5, 0, "%s", text);
}

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

// The bold timestamp that opens a line. Each thread keeps the text of the
// current second: a busy service writes dozens of lines a second, and the
// local-time conversion is by far the dearest part of a line.
static void addTimestamp(TraceText& out) {
  thread_local time_t second = (time_t)-1;
  thread_local char stamp[64];
  time_t now = time(nullptr);
  if (now == (time_t)-1 || now != second) {
    struct tm local;
    if (now != (time_t)-1 && localtime_r(&now, &local) != nullptr)
      snprintf(stamp, sizeof(stamp), "[%d-%02d-%02d %02d:%02d:%02d]", local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    else
      ArrayCopy(stamp, sizeof(stamp), "Unknow time");
    second = now;
  }
  out.addColoured(kColourTime, stamp);
}

// Timestamp (when stamped), bold text, coloured value, line end: one write.
static void writeLine(bool stamped, const char* text, int colour, const char* value) {
  TraceText out;
  if (stamped)
    addTimestamp(out);
  out.addColoured(kColourTime, text);
  out.addColoured(colour, value);
  out.add("\n", 1);
  out.write();
}

void printfColorLine(const char* text, int colour, const char* value, int depth) {
  text = orEmpty(text);
  value = orEmpty(value);
  if (depth == 0)
    zrlog(5, 0, "%s%s", text, value);
  writeLine(depth == 0, text, colour, value);
}

void printfColorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_GREEN, value, depth);
}

void printfColorErrorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_RED, value, depth);
}

void printfColorWarningLine(const char* text, const char* value, int depth) {
  if (depth == 0)
    zrlog(5, 0, "%s%s", orEmpty(text), orEmpty(value));
  writeLine(depth == 0, orEmpty(text), KESTROVAN_COLOR_YELLOW, orEmpty(value));
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

// The memory-failure pair, written from a fixed buffer: it is printed when
// the heap has just failed, so it must not need the heap for the label.
static void writeLabelFailure(int line) {
  char text[192];
  char number[16];
  snprintf(number, sizeof(number), "%d", line);
  snprintf(text, sizeof(text), "[%s]%s %s", PrefixName, kLabelError, "Memory allocate fail at file: ");
  printfColorErrorLine(text, kModule, 0);
  snprintf(text, sizeof(text), "[%s]%s %s", PrefixName, kLabelError, "Memory allocate fail at line: ");
  printfColorErrorLine(text, number, 0);
}

typedef void (*LineWriter)(const char*, const char*, int);

static void writeLabelled(LineWriter writer, const char* label, const char* message, const char* value) {
  message = orEmpty(message);
  size_t prefixLength = strlen(PrefixName);
  size_t labelLength = strlen(label);
  size_t messageLength = strlen(message);
  size_t size = prefixLength + labelLength + messageLength + 5;
  // Nearly every label fits the stack; a long message takes the heap.
  char local[512];
  char* text = local;
  if (size > sizeof(local)) {
    text = (char*)malloc(size);
    if (text == nullptr) {
      writeLabelFailure(__LINE__);
      return;
    }
  }
  // "[" prefix "]" label " " message
  char* at = text;
  *at++ = '[';
  memcpy(at, PrefixName, prefixLength);
  at += prefixLength;
  *at++ = ']';
  memcpy(at, label, labelLength);
  at += labelLength;
  *at++ = ' ';
  memcpy(at, message, messageLength);
  at += messageLength;
  *at = '\0';
  writer(text, value, 0);
  if (text != local)
    free(text);
}

void printfColorLine(const char* message, const char* value) {
  writeLabelled(printfColorLine, kLabelNormal, message, value);
}

void printfColorWarningLine(const char* message, const char* value) {
  writeLabelled(printfColorWarningLine, kLabelWarning, message, value);
}

void printfColorErrorLine(const char* message, const char* value) {
  writeLabelled(printfColorErrorLine, kLabelError, message, value);
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
  std::lock_guard<std::mutex> hold(Print_Lock);
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

void KestrovanTrace_flush() { fflush(stdout); }

bool setLog(const char* logName, const char* prefixName) {
  if (isLogEnable.load())
    return true;
  int result = KESTROVAN_ERR_GENERAL;
  if (logName == nullptr)
    showNullParameter("inputLogName", kModule, __LINE__);
  if (prefixName == nullptr)
    showNullParameter("inputPrefixName", kModule, __LINE__);
  if (logName != nullptr && prefixName != nullptr) {
    ArrayCopy(PrefixName, sizeof(PrefixName), prefixName);
    char target[512];
    char folder[512];
    char path[512];
    ArrayCopy(target, sizeof(target), logName);
    StringAppend(target, sizeof(target), ".ini");
    // The profile lives in the user's own folder under HOME (the one that
    // holds the certificate), never in the /tmp every user shares.
    const char* home = getenv("HOME");
    ArrayCopy(folder, sizeof(folder), home != nullptr && home[0] == '/' ? home : "");
    StringAppend(folder, sizeof(folder), "/");
    StringAppend(folder, sizeof(folder), logName);
    ArrayCopy(path, sizeof(path), folder);
    StringAppend(path, sizeof(path), "/");
    StringAppend(path, sizeof(path), target);
    printfColorLine("inputLogName: ", logName);
    printfColorLine("Log search path: ", path);
    printfColorLine("Log search target: ", target);
    // A profile in a folder someone else controls could point the log at
    // this user's files, so such a folder counts as absent.
    bool homeSet = home != nullptr && home[0] == '/';
    if (!homeSet)
      printfColorWarningLine("Folder not trusted: ", "HOME is not an absolute path");
    if (homeSet && checkPrivateFolder(folder))
      result = zrlog_init(logName, path);
    else
      result = 101;
    zrlog(5, 0, "%s %d %s Compile Time : %s %s", kModule, __LINE__, "setLog", __DATE__, __TIME__);
  }
  bool enabled = result == 0;
  if (enabled)
    isLogEnable.store(true);
  showNormalState("Log state: ", enabled, "Enable", "Disable");
  return enabled;
}

void printfSeparator() {
  static const char* const kSeparator =
      "===============================================================================";  // 79
  printfColor(KESTROVAN_COLOR_BOLD, kSeparator);
  printfColor(KESTROVAN_COLOR_PLAIN, "\n\n", 1);
}
