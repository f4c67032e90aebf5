// SPDX-License-Identifier: Apache-2.0
// trace.h -- the coloured console trace on standard output, mirrored into the
// levelled log file at level 5 once setLog() (log_start.h) has configured it.
//
// The wording of every line is observable behaviour; callers pass the exact
// texts. Values that are null print as the empty text.
#ifndef KESTROVAN_SUPPORT_TRACE_H
#define KESTROVAN_SUPPORT_TRACE_H

#include <atomic>
#include <cstddef>
#include <mutex>

// Colour numbers (mapped to ANSI sequences on output).
enum {
  KESTROVAN_COLOR_RED = 12,      // also 4
  KESTROVAN_COLOR_GREEN = 10,
  KESTROVAN_COLOR_RESULT = 138,  // green, adapter results
  KESTROVAN_COLOR_YELLOW = 14,
  KESTROVAN_COLOR_BOLD = 15,
  KESTROVAN_COLOR_PLAIN = 7,
};

extern char PrefixName[64];
extern std::atomic<bool> isLogEnable;
extern std::mutex Print_Lock;

// Unlabelled text in a colour; logged at level 5 unless noLog is non-zero.
void printfColor(int colour, const char* text, int noLog);
void printfColor(int colour, const char* text);

// The bold line of 79 "=" and a blank line that close a request's trace and
// the start-up's; the line is logged, the blank line is not.
void printfSeparator();

// Base and colour-fixed line writers (timestamp + text + value), depth 0 logs.
void printfColorLine(const char* text, int colour, const char* value, int depth);
void printfColorLine(const char* text, const char* value, int depth);
void printfColorErrorLine(const char* text, const char* value, int depth);
void printfColorWarningLine(const char* text, const char* value, int depth);
void printfColorLine(const char* text, int value, int depth);
void printfColorErrorLine(const char* text, int value, int depth);
void printfColorWarningLine(const char* text, int value, int depth);

// Labelled writers ("[prefix][Normal] message" + value): what the service calls.
void printfColorLine(const char* message, const char* value);
void printfColorWarningLine(const char* message, const char* value);
void printfColorErrorLine(const char* message, const char* value);
void printfColorLine(const char* message, int value);
void printfColorWarningLine(const char* message, int value);
void printfColorErrorLine(const char* message, int value);

// Caller-coloured line, no prefix or label (adapter results).
void printfColorLine(const char* text, int colour, const char* value);

void showNormalState(const char* message, bool state, const char* trueText, const char* falseText);
void showErrorState(const char* message, bool state, const char* okText, const char* failText);
void showWarningState(const char* message, bool state, const char* okText, const char* failText);
void printfWarning(const char* message, bool condition, const char* value);

// Texts a page or an adapter sends can run to megabytes (a document, a
// hostile field). The trace shows at most KESTROVAN_TRACE_TEXT_MAX bytes of
// one, cut before a UTF-8 continuation byte, followed by " ... (N bytes)"
// with its full length.
#define KESTROVAN_TRACE_TEXT_MAX 256
typedef char KestrovanTraceText[KESTROVAN_TRACE_TEXT_MAX + 40];
// text itself when it is null or short enough, else its cut form in buffer.
const char* traceText(const char* text, KestrovanTraceText& buffer);
// A row of '*' as long as length, cut the same way; always in buffer.
const char* traceMask(size_t length, KestrovanTraceText& buffer);

// From here on the trace writes to the console without ever waiting for it
// (the service calls it once at start): what a console that is not read
// does not take waits in a bounded queue, and lines past that are dropped
// and counted ("Console not read, trace lines dropped: " N once it reads
// again). Before it, and in tests, lines go through stdio's standard output.
void KestrovanTrace_useConsole();

// Writes out what standard output and the console's queue hold, waiting at
// most KESTROVAN_TRACE_FLUSH_MS for a console that does not read.
#define KESTROVAN_TRACE_FLUSH_MS 1000
void KestrovanTrace_flush();

// While the calling thread runs a request its lines are held, and they go
// out together, in one write, at the matching end: whole and never mixed
// with another request's lines. Calls nest; the outermost end writes.
void KestrovanTrace_beginRequest();
void KestrovanTrace_endRequest();
// Writes what the thread holds now and goes on holding: before a step that
// may wait long (an adapter call, the main thread), so that the lines up to
// it are out meanwhile.
void KestrovanTrace_flushRequest();

// Text as it is, no colour or line end, held like a line (the web server
// library's own messages).
void KestrovanTrace_text(const char* text, size_t length);


// The two reporting conventions of every module:
//   memory failure: error lines "Memory allocate fail at file: " module and
//   "Memory allocate fail at line: " line;
//   missing parameter: warning line "" with "Parameter %s is null at %s %d".
void showMemoryFail(const char* module, int line);
void showNullParameter(const char* name, const char* module, int line);

#endif
