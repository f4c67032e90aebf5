#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# stub_chooser.sh -- the adapter's list dialog for the logic tests: reads the
# request (up to "show"), logs it, shows nothing and answers from the
# environment.
#   STUB_CHOOSER_LOG     a file: every line received ("<key> <value>"), and END
#   STUB_CHOOSER_ANSWER  the first answer ("CHOSEN 1", "CANCELLED", "PIN 1234",
#                        "NODISPLAY"); "exit" ends without one, "hang" never
#                        answers (until ended); default CHOSEN 0
#   STUB_CHOOSER_ANSWER_FILE  a file whose first line, when it exists, is the
#                        answer instead (for a service started once)
#   STUB_CHOOSER_PINS    for a PIN entry: the PINs to give after each "error"
#                        line, separated by spaces
#   STUB_CHOOSER_CANCEL_AT  answer CANCELLED on this progress line ("Signing 2 of 5…")
log="${STUB_CHOOSER_LOG:-/dev/null}"
printf 'PID %s\n' "$$" >> "$log"
while IFS= read -r line; do
  printf '%s\n' "$line" >> "$log"
  [ "$line" = show ] && break
done
answer="${STUB_CHOOSER_ANSWER:-CHOSEN 0}"
if [ -n "${STUB_CHOOSER_ANSWER_FILE:-}" ] && [ -f "$STUB_CHOOSER_ANSWER_FILE" ]; then
  IFS= read -r answer < "$STUB_CHOOSER_ANSWER_FILE"
fi
if [ "$answer" = exit ]; then echo END >> "$log"; exit 0; fi
if [ "$answer" = hang ]; then sleep 600; exit 0; fi
printf '%s\n' "$answer"
read -r -a pins <<< "${STUB_CHOOSER_PINS:-}"
next=0
cancel_at="${STUB_CHOOSER_CANCEL_AT:-}"
while IFS= read -r line; do
  printf '%s\n' "$line" >> "$log"
  case "$line" in
    done) break ;;
    error*) printf 'PIN %s\n' "${pins[$next]:-}"; next=$((next + 1)) ;;
    "progress $cancel_at"*) [ -n "$cancel_at" ] && { echo CANCELLED; break; } ;;
  esac
done
echo END >> "$log"
