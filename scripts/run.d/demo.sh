# SPDX-License-Identifier: Apache-2.0
# demo.sh -- sourced by run.sh just before it becomes the service: serves the
# demo page (clients/demo) from its own origin beside the service, and lets
# that origin use the bundled PKI adapter by putting it on the user's
# allow-list when it is not there yet. The server stops when the service
# ends. KESTROVAN_DEMO_PORT picks the port (default 8480); KESTROVAN_NO_DEMO=1
# leaves all of this out.
kestrovan_demo() {
  local root="$1"
  local port="${KESTROVAN_DEMO_PORT:-8480}"
  local origin="http://127.0.0.1:$port"
  if [ "${KESTROVAN_NO_DEMO:-0}" = "1" ]; then
    return 0
  fi
  if ! command -v node >/dev/null; then
    echo "demo: node is missing, so no demo page (scripts/setup.sh installs it)"
    return 0
  fi

  # The PKI adapter's allow-list: XDG_CONFIG_HOME when absolute, else
  # ~/.config; one origin a line; the user's own, written by nobody else.
  local config="${XDG_CONFIG_HOME:-}"
  case "$config" in /*) ;; *) config="$HOME/.config" ;; esac
  local folder="$config/kestrovan/helm"
  local list="$folder/allowed-origins"
  mkdir -p "$folder"
  chmod 700 "$config/kestrovan" "$folder"
  if ! grep -qxF "$origin" "$list" 2>/dev/null; then
    (umask 077 && echo "$origin" >>"$list")
    echo "demo: $origin added to the PKI adapter's allowed origins ($list)"
  fi
  chmod 600 "$list"

  # $$ is this shell, which becomes the service: named, so that a service
  # gone before the server looks is noticed too.
  node "$root/clients/demo/server.mjs" --port "$port" --exit-with-parent "$$" &
}
kestrovan_demo "$root"
