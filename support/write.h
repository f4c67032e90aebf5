// SPDX-License-Identifier: Apache-2.0
// write.h -- writing a file whole or not at all, for the service and its
// tools (the adapters' twin is the SDK's KestrovanFile_WritePrivate; both
// take their steps from support/write_whole.inc). Quiet: prints nothing.
#ifndef KESTROVAN_SUPPORT_WRITE_H
#define KESTROVAN_SUPPORT_WRITE_H

#include <cstddef>

#include "include/kestrovan/adapter_files.h"  // the KESTROVAN_WRITE_* steps

// Writes length bytes as the file path: a temporary file beside it made with
// mode (0600 until then, whatever the umask), written in full (interrupted
// and short writes go on), flushed, renamed over path, and the folder
// flushed, so that a reader sees the old file or the new one whole. Returns
// KESTROVAN_WRITE_DONE, or the step that failed with "<path>: <step>:
// <reason>" in reason (always terminated when reasonSize > 0); nothing but
// path's old file is left then (a failed folder flush leaves the new one).
int KestrovanFiles_writeWhole(const char* path, const void* data, size_t length, unsigned mode, char* reason,
                              size_t reasonSize);

#endif
