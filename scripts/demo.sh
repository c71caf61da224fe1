#!/usr/bin/env bash
# The main job: builds what is needed, starts the agent with the sample configuration under a temporary QOR_ROOT,
# shows its log and stops it cleanly.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh" >/dev/null

root=$(mktemp -d /tmp/qor-demo-XXXXXX)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
export QOR_ROOT="$root"
mkdir -p "$root/etc/zantix/qor"
cp "$here/config/qor-vevuroro.xml" "$here/config/vessix.xml" "$root/etc/zantix/qor/"
# A free port for the health endpoint, so the demo never collides with a running agent.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s|tcp://127.0.0.1:4097|tcp://127.0.0.1:$port|" "$root/etc/zantix/qor/qor-vevuroro.xml"

echo "== starting qor-vevuroro under QOR_ROOT=$root"
"$build/core/startup/qor-vevuroro" -c "$root/etc/zantix/qor/qor-vevuroro.xml" >"$root/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 1 200); do
  grep -q "Health RPC server listening" "$root/agent.log" && break
  kill -0 "$agent_pid" 2>/dev/null || break
  sleep 0.05
done
echo "== health endpoint: $(bash -c "exec 3<>/dev/tcp/127.0.0.1/$port" 2>/dev/null && echo "accepting on $port" || echo "NOT accepting")"
echo "== stopping it with SIGTERM"
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
echo "== agent log"
cat "$root/agent.log"
echo "== qor-vevuroro exited with status $status"
exit "$status"
