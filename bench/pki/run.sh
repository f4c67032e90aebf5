#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# run.sh [build-dir] -- the PKI adapter (HelmPKICryptAdapter) through the
# service: context switches of the idle service (no session, then 32 idle
# sessions), session opening, the first listing of a session, resident
# memory per session, and signing through the service beside the same
# signature made directly with the token. Uses the build tree as it is (its
# NORTAKestrovan, NORTAKestrovanProvision, request_probe and the real
# adapter); the test fixtures' SoftHSM2 token and PKCS #12 files are made
# afresh in the work folder by tests/adapters_pki/make_fixtures.sh.
#
# Environment: KB_IDLE_SECONDS (each idle measurement, default 60),
# KB_ADAPTER (the adapter file to install, default the build tree's),
# KB_OPENS (sessions opened for the timing, default 200), KB_LISTS (first
# listings timed, default 20), KB_SIGNS (signatures per contender, default
# 50), KB_ONLY=idle|open|memory|sign (one part only).
# Nothing here asserts a time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/normal}"
idleSeconds="${KB_IDLE_SECONDS:-60}"
opens="${KB_OPENS:-200}"
lists="${KB_LISTS:-20}"
signs="${KB_SIGNS:-50}"
only="${KB_ONLY:-}"
ports=(56459 56559 56659)

# shellcheck source=bench/request/lib.sh
source "$root/bench/request/lib.sh"

needTools curl certtool softhsm2-util python3
for f in bench/pki/pki_direct_sign service/NORTAKestrovan tools/NORTAKestrovanProvision bench/request/request_probe service/NORTA/HelmPKICryptAdapter.so; do
  [ -e "$build/$f" ] || { echo "run.sh: $build/$f is missing (build the tree first)" >&2; exit 1; }
done
makeWork
bash "$root/tests/adapters_pki/make_fixtures.sh" "$work/fixture" >/dev/null 2>&1
mkdir -p "$work/bin/NORTA" "$work/home"
cp "$build/service/NORTAKestrovan" "$work/bin/"
cp "${KB_ADAPTER:-$build/service/NORTA/HelmPKICryptAdapter.so}" "$work/bin/NORTA/HelmPKICryptAdapter.so"
export HOME="$work/home"
unset XDG_CONFIG_HOME
"$build/tools/NORTAKestrovanProvision" >/dev/null
config="$HOME/.config/kestrovan/helm"
mkdir -p "$config"
chmod 700 "$HOME/.config" "$HOME/.config/kestrovan" "$config"
cp -a "$work/fixture/home/.config/kestrovan/helm/keys" "$config/"
origin="https://bench.example"
printf '%s\n' "$origin" >"$config/allowed-origins"
# A kiosk's page: it sends the PIN and lists the certificates itself.
printf 'page-pin-origins = %s\nlist-origins = %s\n' "$origin" "$origin" >"$config/helm.conf"
chmod 600 "$config/allowed-origins" "$config/helm.conf"
export SOFTHSM2_CONF="$work/fixture/softhsm2.conf"
exe="$work/bin/NORTAKestrovan"
probe="$build/bench/request/request_probe"
pathId="7E41A0C2D95B4F3E8A61C07B2D9F54E1"
url="https://127.0.0.1:56459/"

rssKiB() { awk '/^VmRSS:/{print $2}' "/proc/$1/status"; }
# Voluntary and involuntary context switches of every thread of PID.
switches() {
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(non)?voluntary_ctxt_switches:/{n += $2} END{print n + 0}'
}
threads() { ls /proc/"$1"/task | wc -l; }
openSession() {  # openSession -> session id
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
    >"$work/one.body"
  post "$url" "$work/one.body" | answerValue SessionID
}
# A call on a session, main-thread mode, repeated while it answers a heartbeat.
call() {  # call SESSION JSON-MEMBERS -> answer
  local answer
  formBody "{\"SessionId\":\"$1\",\"KestrovanMainThread\":true,$2}" >"$work/call.body"
  for _ in $(seq 30); do
    answer=$(post "$url" "$work/call.body")
    [ "$(printf '%s' "$answer" | answerValue result)" = "heartbeat" ] || break
  done
  printf '%s' "$answer"
}
idleCount() {  # idleCount LABEL: switches over idleSeconds
  local before after
  sleep 3  # the connection watchdog's last look after the last connection
  before=$(switches "$servicePid")
  sleep "$idleSeconds"
  after=$(switches "$servicePid")
  printf '%-52s %s (threads %s)\n' "$1" "$((after - before))" "$(threads "$servicePid")"
}
percentiles() {  # percentiles <numbers -> "p50 p95"
  sort -n | awk '{v[NR] = $1} END{i50 = int((NR - 1) * 0.5) + 1; i95 = int((NR - 1) * 0.95) + 1; printf "%.3f %.3f\n", v[i50], v[i95]}'
}

startService
echo "== service pid $servicePid, adapter $(stat -c %s "$work/bin/NORTA/HelmPKICryptAdapter.so") bytes =="

if [ -z "$only" ] || [ "$only" = idle ]; then
  echo "== idle: context switches (voluntary + involuntary, all threads) in ${idleSeconds} s =="
  idleCount "no session"
  for _ in $(seq 32); do
    [ -n "$(openSession)" ] || { echo "run.sh: no session opened" >&2; exit 1; }
  done
  idleCount "32 idle sessions on the PKI adapter"
fi

if [ -z "$only" ] || [ "$only" = open ] || [ "$only" = memory ]; then
  echo "== memory: VmRSS before and after opening 32 sessions =="
  stopPid "$servicePid"
  startService
  rss0=$(rssKiB "$servicePid")
  first=$(openSession)
  rss1=$(rssKiB "$servicePid")
  for _ in $(seq 31); do openSession >/dev/null; done
  rss32=$(rssKiB "$servicePid")
  printf '%-52s %s KiB\n' "idle, no session" "$rss0" "after the first session" "$rss1" "after 32 sessions" "$rss32"
  printf '%-52s %s KiB\n' "per session (sessions 2..32)" "$(((rss32 - rss1) / 31))"
  if [ -n "$first" ]; then
    # What the newest session's copy maps, by mapping (Rss, kB).
    newest=$(ls -t "${XDG_RUNTIME_DIR:-/nonexistent}"/NORTAKestrovan/*.so "$HOME"/.cache/NORTAKestrovan/*.so 2>/dev/null | head -1 || true)
    if [ -n "$newest" ]; then
      echo "-- one session's copy in /proc/PID/smaps (Rss kB by mapping permissions) --"
      awk -v f="$newest" '$0 ~ /^[0-9a-f]+-[0-9a-f]+ / {cur = ($6 == f) ? $2 : ""} cur != "" && /^Rss:/{r[cur] += $2} END{for (k in r) print "   " k, r[k]}' \
        "/proc/$servicePid/smaps"
      awk '$0 ~ /^[0-9a-f]+-[0-9a-f]+ / {anon = ($6 == "")} anon && /^Rss:/{n += $2} END{print "   anonymous Rss kB (whole process):", n}' \
        "/proc/$servicePid/smaps"
    fi
  fi
fi

if [ -z "$only" ] || [ "$only" = open ]; then
  echo "== session opening (copy, load, unlock, version), $opens opens on one connection =="
  formBody "{\"FunctionName\":\"KestrovanEcho\",\"SessionId\":\"\",\"PathID\":\"$pathId\",\"minServerVersion\":\"3.0.23.0721\"}" \
    >"$work/open.body"
  "$probe" requests "$opens" "$url" "$work/open.body" "$origin" 2>/dev/null | tee "$work/open.txt"
  read -r _ open50 open99 _ _ _ _ open95 <"$work/open.txt"
  printf '%-52s %s / %s / %s ms\n' "session opening p50 / p95 / p99" "$open50" "$open95" "$open99"

  echo "== a new session's first ListCertificates, $lists times (request time, handshake left out) =="
  : >"$work/first.txt"
  : >"$work/second.txt"
  for _ in $(seq "$lists"); do
    sid=$(openSession)
    formBody "{\"SessionId\":\"$sid\",\"FunctionName\":\"ListCertificates\"}" >"$work/list.body"
    for which in first second; do
      curl -gsk --max-time 60 -o "$work/list.out" -w '%{time_appconnect} %{time_total}\n' -H "Origin: $origin" \
        -H "Host: localhost:56459" --data-binary @"$work/list.body" "$url" |
        awk '{printf "%.3f\n", ($2 - $1) * 1000}' >>"$work/$which.txt"
      grep -q '"result"' "$work/list.out" || { echo "run.sh: no listing" >&2; cat "$work/list.out" >&2; exit 1; }
    done
  done
  printf '%-52s %s ms\n' "first ListCertificates of a session p50 / p95" "$(percentiles <"$work/first.txt" | sed 's/ / \/ /')"
  printf '%-52s %s ms\n' "second ListCertificates p50 / p95" "$(percentiles <"$work/second.txt" | sed 's/ / \/ /')"
fi

if [ -z "$only" ] || [ "$only" = sign ]; then
  echo "== signing: $signs signatures through the service beside the same made directly =="
  sid=$(openSession)
  list=$(call "$sid" '"FunctionName":"ListCertificates"' | answerValue result)
  tokenId=$(printf '%s' "$list" | python3 -c 'import json,sys; print(next(c["id"] for c in json.load(sys.stdin)["certificates"] if c["commonName"] == "Token Signer"))')
  data=$(printf 'bench data to sign' | base64 -w0)
  : >"$work/sign.txt"
  for _ in $(seq "$signs"); do
    formBody "{\"SessionId\":\"$sid\",\"KestrovanMainThread\":true,\"FunctionName\":\"SignCms\",\"id\":\"$tokenId\",\"pin\":\"1234\",\"data\":\"$data\",\"data_KestrovanBase64Flag\":true}" >"$work/sign.body"
    curl -gsk --max-time 60 -o "$work/sign.out" -w '%{time_appconnect} %{time_total}\n' -H "Origin: $origin" \
      -H "Host: localhost:56459" --data-binary @"$work/sign.body" "$url" |
      awk '{printf "%.3f\n", ($2 - $1) * 1000}' >>"$work/sign.txt"
  done
  answerValue result <"$work/sign.out" | grep -q '"code":0' || { echo "run.sh: SignCms failed" >&2; answerValue result <"$work/sign.out" >&2; exit 1; }
  printf 'bench data to sign' >"$work/data.bin"
  "$build/bench/pki/pki_direct_sign" "pkcs11:token=helm-test;id=%01;type=private" \
    "pkcs11:token=helm-test;id=%01;type=cert" 1234 "$signs" "$work/data.bin" | tee "$work/direct.out"
  read -r _ d50 d95 _ <"$work/direct.out"
  read -r s50 s95 < <(percentiles <"$work/sign.txt")
  printf '%-52s %s / %s ms\n' "SignCms through the service p50 / p95" "$s50" "$s95"
  printf '%-52s %s / %s ms\n' "the same signature made directly (GnuTLS) p50 / p95" "$d50" "$d95"
  awk -v s="$s50" -v d="$d50" 'BEGIN{printf "%-52s %.2f\n", "ratio service / direct (p50)", s / d}'
fi
stopPid "$servicePid"
