#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# stub_pinentry.sh -- a pinentry for the tests: speaks the server side of the
# Assuan protocol on stdin/stdout, shows nothing, and answers the dialogs
# from a plan.
#
#   STUB_PINENTRY_PLAN   a file, one answer a line, taken from the top by each
#                        CONFIRM and GETPIN (shared by every dialog, one at a time):
#                          ok | notok | cancel | timeout | nodisplay
#                          pin TEXT          D line with TEXT (sent as written), then OK
#                          delay SECONDS ANSWER
#                          hang              never answers (until killed)
#                          exit              ends without answering
#                        an empty plan cancels (and logs PLAN-EMPTY)
#   STUB_PINENTRY_REFUSE a command name (SETDESC) the stub answers with an error
#   STUB_PINENTRY_LOG    a file: "<pid> <line>" for every command received, and
#                        START (with argv and DISPLAY), PROCESS (blocked and
#                        ignored signals, process group and session), TERMINATED,
#                        END, OVERLAP (another stub was running at the same time)
#
# MESSAGE is shown until the stub is ended (as a user who never presses OK).
log="${STUB_PINENTRY_LOG:-/dev/null}"
plan="${STUB_PINENTRY_PLAN:-/dev/null}"
active="$log.active"
say() { printf '%s\n' "$1"; }
note() { printf '%s %s\n' "$$" "$1" >> "$log"; }

if ! mkdir "$active" 2>/dev/null; then note OVERLAP; owner=0; else owner=1; fi
finish() {
  [ "$owner" = 1 ] && rmdir "$active" 2>/dev/null
  note "$1"
  exit 0
}
trap 'finish TERMINATED' TERM
note "START argv=$* DISPLAY=${DISPLAY:-}"
# How it was started: the signals it blocks and ignores (hex masks, as in
# /proc/PID/status), its process group and session.
# Read with builtins only: while bash waits for a child it blocks signals
# of its own.
read -r -a stat < /proc/$$/stat
while read -r key value; do
  case "$key" in
    SigBlk:) blocked="$value" ;;
    SigIgn:) ignored="$value" ;;
  esac
done < /proc/$$/status
note "PROCESS sigblk=$blocked sigign=$ignored pgid=${stat[4]} sid=${stat[5]}"
# The adapter closes the pipes without reading the answer to BYE: the stub
# still logs its END rather than dying of SIGPIPE on that answer.
trap '' PIPE

# The next answer of the plan (the first line, removed).
next_answer() {
  local first
  first="$(head -n 1 "$plan" 2>/dev/null)"
  if [ -z "$first" ] && [ ! -s "$plan" ]; then
    note PLAN-EMPTY
    first=cancel
  else
    sed -i 1d "$plan"
  fi
  printf '%s' "$first"
}

# Waits until killed, so that the TERM trap runs at once.
wait_for_end() {
  sleep 600 &
  wait $!
}

answer() {
  case "$1" in
    ok) say OK ;;
    notok) say "ERR 83886194 Not confirmed <Pinentry>" ;;
    cancel) say "ERR 83886179 Operation cancelled <Pinentry>" ;;
    timeout) say "ERR 83886142 Timeout <Pinentry>" ;;
    nodisplay) say "ERR 83918950 Inappropriate ioctl for device <Pinentry>" ;;
    "pin "*) say "D ${1#pin }"; say OK ;;
    pin) say OK ;;
    "delay "*)
      local rest="${1#delay }"
      sleep "${rest%% *}"
      answer "${rest#* }"
      ;;
    hang) wait_for_end ;;
    exit) finish END ;;
    *) say "ERR 83886179 Operation cancelled <Pinentry>" ;;
  esac
}

say "OK Pleased to meet you"
while IFS= read -r line; do
  note "$line"
  if [ -n "${STUB_PINENTRY_REFUSE:-}" ] && [ "${line%% *}" = "$STUB_PINENTRY_REFUSE" ]; then
    say "ERR 536871187 Unknown IPC command <Pinentry>"
    continue
  fi
  case "$line" in
    CONFIRM*|GETPIN*) answer "$(next_answer)" ;;
    MESSAGE*) wait_for_end ;;
    BYE*) say "OK closing connection"; finish END ;;
    *) say OK ;;
  esac
done
finish END
