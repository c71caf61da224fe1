#!/usr/bin/env bash
# The main job: builds what is needed, then, under a temporary QOR_ROOT, brings up the configuration database
# (tolvard) with a sample desired state, the datapath simulator (qor-dpsim) and the agent with the sample
# configuration; shows what each holds and logs, and stops everything cleanly.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
echo "== building (first run: installs packages and builds everything, a few minutes)"
QOR_BUILD_DIR="$build" bash "$here/scripts/build.sh" >/dev/null

root=$(mktemp -d /tmp/qor-demo-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
export QOR_ROOT="$root"
etc="$root/etc/zantix/qor"
mkdir -p "$etc"
cp "$here/config/qor-vevuroro.xml" "$here/config/vessix.xml" "$etc/"

wait_for() {  # wait_for DESCRIPTION COMMAND...: up to 10 s for the command to succeed
  local what=$1; shift
  for _ in $(seq 1 200); do "$@" && return 0; sleep 0.05; done
  echo "timed out waiting for $what" >&2
  return 1
}

echo "== tolvard: the host's configuration database"
"$build/tools/tolvard/tolvard" --listen tcp:127.0.0.1:0 --db "$root/tolvar.db" --port-file "$root/tolvard.port" \
  >"$root/tolvard.log" 2>&1 &
pids+=($!)
wait_for "tolvard" test -s "$root/tolvard.port"
export TOLVAR_SERVER="tcp:127.0.0.1:$(cat "$root/tolvard.port")"
echo "   listening on $TOLVAR_SERVER"
echo "== loading the sample desired state (config/scenarios/tolvar-basic.json) as one transaction"
"$build/tools/tolvarctl/tolvarctl" load "$here/config/scenarios/tolvar-basic.json"
echo "   objects now in vdb 1:"
"$build/tools/tolvarctl/tolvarctl" dump | grep -o '"@type": *"[^"]*"' | sed 's/.*zantix.qor.tolvar./     /; s/"$//' \
  | sort | uniq -c

echo "== qor-dpsim: the datapath simulator"
"$build/tools/qor-dpsim/qor-dpsim" --root "$root" --capture "$root/capture" --control "$root/dpsim.ctl" \
  >"$root/dpsim.log" 2>&1 &
pids+=($!)
wait_for "qor-dpsim" test -f "$root/var/run/zantix/qor-dpsim/ready"
ovs-appctl -t "$root/dpsim.ctl" dpsim/channels | sed 's/^/   /'

echo "== qor-vevuroro: the agent"
# Free ports for the agent's endpoints, so the demo never collides with anything else on the machine.
health_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s|tcp://127.0.0.1:4097|tcp://127.0.0.1:$health_port|" "$etc/qor-vevuroro.xml"
sed -i "s|<health>|<tolvar>tcp://127.0.0.1:$(cat "$root/tolvard.port")</tolvar><health>|" "$etc/qor-vevuroro.xml"
"$build/core/startup/qor-vevuroro" -c "$etc/qor-vevuroro.xml" >"$root/agent.log" 2>&1 &
agent=$!
pids+=($agent)
wait_for "the agent's health endpoint" grep -q "Health RPC server listening" "$root/agent.log"
if bash -c "exec 3<>/dev/tcp/127.0.0.1/$health_port" 2>/dev/null; then
  echo "   health endpoint accepting on 127.0.0.1:$health_port"
fi
echo "   heartbeat: $(tr '\n' ' ' <"$root/var/run/zantix/sha/qor-vevuroro/heartbeat")"
wait_for "the database's full sync" grep -q "Transaction end (fullsync)" "$root/agent.log"
wait_for "the state cache" grep -q "fullSync version is" "$root/agent.log"
echo "   the agent received the database's full sync and took it into its state cache"
echo "== the operator's view through the agent's CLI socket (ovs-appctl -t SOCKET list-commands shows every command)"
cli="$root/var/run/zantix/qor-vevuroro/vevuroro-cli"
ovs-appctl -t "$cli" vevuroro/cache/size | sed 's/^/   /'
ovs-appctl -t "$cli" vevuroro/config/lsportlist | sed 's/^/   /'
echo "== stopping the agent with SIGTERM"
kill -TERM "$agent"
status=0
wait "$agent" || status=$?
echo "== agent log"
sed 's/^/   /' "$root/agent.log"
echo "== qor-vevuroro exited with status $status"
exit "$status"
