// SPDX-License-Identifier: Apache-2.0
// support.h -- the support library: console trace, memory and text helpers,
// Base64 and JSON unescaping, files/paths/time/randomness, the levelled log
// file with its INI profile reader, and the numeric result codes.
//
// Nothing here depends on any other folder of ours except platform/.
// Every heap result belongs to the caller, who frees it with free().
#ifndef KESTROVAN_SUPPORT_SUPPORT_H
#define KESTROVAN_SUPPORT_SUPPORT_H

#include "support/codes.h"
#include "support/trace.h"
#include "support/text.h"
#include "support/base64.h"
#include "support/files.h"
#include "support/log.h"
#include "support/log_start.h"

#endif
