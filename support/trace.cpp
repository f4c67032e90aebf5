// trace.cpp -- the coloured console trace on standard output and its mirror
// into the levelled log file at level 5.
#include "support/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void printfColor(int colour, const char* text, int noLog) {
  // A null text prints nothing: a bare colour sequence would leave the
  // terminal coloured.
  if (text == nullptr)
    return;
  printf("%s%s\033[0m", colourSequence(colour), text);
  if (noLog == 0)
    zrlog(5, 0, "%s", text);
}

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

static void writeTimestamp(int depth) {
  char* now = getTime();
  printfColor(kColourTime, now, depth + 1);
  free(now);
}

void printfColorLine(const char* text, int colour, const char* value, int depth) {
  text = orEmpty(text);
  value = orEmpty(value);
  if (depth == 0) {
    zrlog(5, 0, "%s%s", text, value);
    writeTimestamp(depth);
  }
  printfColor(kColourTime, text, depth + 1);
  printfColor(colour, value, depth + 1);
  printf("\n");
}

void printfColorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_GREEN, value, depth);
}

void printfColorErrorLine(const char* text, const char* value, int depth) {
  printfColorLine(text, KESTROVAN_COLOR_RED, value, depth);
}

void printfColorWarningLine(const char* text, const char* value, int depth) {
  if (depth == 0) {
    zrlog(5, 0, "%s%s", orEmpty(text), orEmpty(value));
    writeTimestamp(depth);
  }
  printfColorLine(text, KESTROVAN_COLOR_YELLOW, value, depth + 1);
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
  size_t size = strlen(message) + strlen(label) + strlen(PrefixName) + 5;
  char* text = (char*)malloc(size);
  if (text == nullptr) {
    writeLabelFailure(__LINE__);
    return;
  }
  snprintf(text, size, "[%s]%s %s", PrefixName, label, message);
  writer(text, value, 0);
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
    ArrayCopy(folder, sizeof(folder), "/tmp/");
    StringAppend(folder, sizeof(folder), logName);
    ArrayCopy(path, sizeof(path), folder);
    StringAppend(path, sizeof(path), "/");
    StringAppend(path, sizeof(path), target);
    printfColorLine("inputLogName: ", logName);
    printfColorLine("Log search path: ", path);
    printfColorLine("Log search target: ", target);
    // /tmp is shared by every local user: a profile in a folder someone else
    // controls could point the log at this user's files, so such a folder
    // counts as absent and its profile is not read.
    if (checkPrivateFolder(folder))
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
