#!/usr/bin/env bash
# Peak memory (VmHWM) of the windowless run against the window's, at 10 and 100,000 hosts.
# Each copy runs from a folder of its own with N loopback hosts (127.x.y.z, port 1, which
# refuses), monitors for a few seconds and is read in /proc/PID/status before SIGTERM.
# Usage: bench/peak-memory.sh [build-dir]   (the window runs on the offscreen platform)
set -eu
build=$(cd "${1:-build}" && pwd)
seconds=${SECONDS_RUNNING:-6}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hosts_file() {  # N -> settings file text
  python3 - "$1" <<'PY'
import sys
n = int(sys.argv[1])
out = ["[config]", "interval=1", "hostcount=%d" % n]
for i in range(n):
    out += ["[host%d]" % (i + 1), "host=127.%d.%d.%d" % (i // 62500 % 250, i // 250 % 250, i % 250 + 1), "port=1"]
print("\n".join(out))
PY
}

measure() {  # mode N
  local dir="$work/$1-$2"
  mkdir -p "$dir/run"
  cp "$build/varnley" "$dir/"
  hosts_file "$2" > "$dir/varnley.ini"
  local args=() env=(VARNLEY_INSTANCE_DIR="$dir/run" XDG_RUNTIME_DIR="$dir/run" HOME="$dir")
  if [ "$1" = headless ]; then args=(--headless); else args=(-s); env+=(QT_QPA_PLATFORM=offscreen); fi
  env -u DISPLAY -u WAYLAND_DISPLAY "${env[@]}" "$dir/varnley" "${args[@]}" 2>"$dir/err" &
  local pid=$!
  sleep "$seconds"
  local hwm
  hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
  kill -TERM "$pid"
  wait "$pid" || true
  printf '%-9s %7d hosts  VmHWM %8d kB\n' "$1" "$2" "$hwm"
}

for n in 10 100000; do
  measure headless "$n"
  measure window "$n"
done
