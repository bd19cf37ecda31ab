# Sourced by the benchmarks: runs the host with the demo business logic and
# Ostrel (UI type desktop, the bundled ui/, keep-alive on) from build-bench/ in
# a temporary folder, and stops it when the script exits.
#   start_demo_host LOG_LEVEL [BIZL]   sets $work (the folder), $host (its pid),
#                               $port; BIZL "memory" loads the business logic
#                               that answers from memory instead of the demo
#   stop_demo_host              SIGINT, then the host's exit status
#   log_tail                    the last lines of its log, separators as tabs
#   host_rss                    the host's resident set in kB

work=$(mktemp -d /tmp/ostrel-bench-XXXXXX)
host=""
cleanup_demo_host() {
  [ -n "$host" ] && kill -INT "$host" 2>/dev/null && wait "$host" 2>/dev/null
  rm -rf "$work"
}
trap cleanup_demo_host EXIT

log_tail() { tr '\013' '\t' <"$work/host.log" | tail -n 20; }

# The host's resident set in kB.
host_rss() { awk '/^VmRSS:/ {print $2}' "/proc/$host/status"; }

start_demo_host() {
  mkdir -p "$work/var/bootstrap" "$work/downloads"
  local bizl=$PWD/build-bench/src/bizl-demo/libkivra-bizl-demo.so
  [ "${2:-demo}" = memory ] && bizl=$PWD/build-bench/bench/memory-bizl/libkivra-bizl-memory.so
  cat >"$work/host.ini" <<INI
[host]
plugins = $bizl $PWD/build-bench/src/ostrel/libostrel.so
log_file = host.log
[scope0]
Directories/VarPath = $work/var
Ostrel/DocumentRoot = $PWD/ui
Ostrel/DownloadRoot = $work/downloads
Ostrel/DefaultUIType = desktop
Ostrel/KeepAlive = true
Ostrel/ReferrerCheck = true
[scope1]
KivraLogger/Level = $1
INI
  export TESSARO_REGISTRY_ROOT=$work/registry
  local port_file=$TESSARO_REGISTRY_ROOT/HKEY_CURRENT_USER/Software/Corvane/Tessaro/OstrelPort
  build-bench/src/tessaro/tessaro-host --config "$work/host.ini" 2>"$work/host.err" &
  host=$!
  for _ in $(seq 200); do
    [ -s "$port_file" ] && break
    kill -0 "$host" 2>/dev/null || break
    sleep 0.1
  done
  port=$([ -s "$port_file" ] && echo $((16#$(sed -n 's/^dword:\([0-9a-f]*\)$/\1/p' "$port_file"))) || echo 0)
  if [ "$port" -eq 0 ]; then
    echo "bench: the host published no port"
    cat "$work/host.err"
    exit 1
  fi
}

stop_demo_host() {
  kill -INT "$host"
  local status=0
  wait "$host" || status=$?
  host=""
  return $status
}
