#!/usr/bin/env bash
# The main job: under a temporary QOR_ROOT, brings up the configuration database (tolvard) with a sample desired
# state (config/scenarios/main-job.json: a transport node with a host switch, two logical switches, ports with
# switch security, QoS, MAC management and mirroring), the datapath simulator (qor-dpsim) and the agent; connects
# the ports' VIFs in the simulator, waits until the agent has realized them, shows what the datapath holds and the
# VIFs' runtime state read back from tolvard, then stops everything cleanly.
#
#   bash scripts/demo.sh           the whole run, then a clean stop
#   bash scripts/demo.sh --stay    leaves everything running and prints how to change the desired state with
#                                  tolvarctl and watch the datapath follow; Ctrl-C stops it all
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${QOR_BUILD_DIR:-$here/build}"
stay=false
[[ "${1:-}" == "--stay" ]] && stay=true
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
tolvarctl="$build/tools/tolvarctl/tolvarctl"
dpsimctl() { ovs-appctl -t "$root/dpsim.ctl" "$@"; }
switch=qor_vswitch_tkmlink

wait_for() {  # wait_for DESCRIPTION COMMAND...: up to 30 s for the command to succeed
  local what=$1; shift
  for _ in $(seq 1 600); do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; done
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
echo "== loading the sample desired state (config/scenarios/main-job.json) as one transaction"
"$tolvarctl" load "$here/config/scenarios/main-job.json"
echo "   and the overlay L2 tables (config/scenarios/main-job-l2.json)"
"$tolvarctl" load "$here/config/scenarios/main-job-l2.json"
echo "== loading the sample router (config/scenarios/main-job-l3.json): a logical router, two ports, routes, ARP"
"$tolvarctl" load "$here/config/scenarios/main-job-l3.json"
"$tolvarctl" dump | grep -o '"@type": *"[^"]*"' | sed 's/.*zantix.qor.tolvar./     /; s/"$//' | sort | uniq -c

echo "== qor-dpsim: the datapath simulator"
"$build/tools/qor-dpsim/qor-dpsim" --root "$root" --capture "$root/capture" --control "$root/dpsim.ctl" \
  >"$root/dpsim.log" 2>&1 &
pids+=($!)
wait_for "qor-dpsim" test -f "$root/var/run/zantix/qor-dpsim/ready"

echo "== qor-vevuroro: the agent"
# Free ports for the agent's endpoints, so the demo never collides with anything else on the machine.
health_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s|tcp://127.0.0.1:4097|tcp://127.0.0.1:$health_port|" "$etc/qor-vevuroro.xml"
sed -i "s|<health>|<tolvar>tcp://127.0.0.1:$(cat "$root/tolvard.port")</tolvar><health>|" "$etc/qor-vevuroro.xml"
"$build/core/startup/qor-vevuroro" -c "$etc/qor-vevuroro.xml" >"$root/agent.log" 2>&1 &
agent=$!
pids+=($agent)
wait_for "the agent's datapath session" grep -q "ConfigApp: _ipDisFullSyncDone set to true" "$root/agent.log"
wait_for "the database's full sync" grep -q "ConfigApp: Start full sync with DP after" "$root/agent.log"
wait_for "the database connection judged alive" grep -q "DaemonHealthMonitor: tolvar connected" "$root/agent.log"
echo "   session with the datapath opened, the database's desired state received"

echo "== connecting the VIFs in the simulator (one with a discovered binding)"
dpsimctl dpsim/vif-connect $switch vif-web-1 1001 dvs-1 00:50:56:aa:bb:01 \
  binding=10.0.0.10,00:50:56:aa:bb:01,0,1 | sed 's/^/   /'
dpsimctl dpsim/vif-connect $switch vif-web-2 1002 dvs-1 00:50:56:aa:bb:02 | sed 's/^/   /'
dpsimctl dpsim/vif-connect $switch vif-app-1 2001 dvs-1 00:50:56:aa:bb:03 | sed 's/^/   /'
dpsimctl dpsim/vif-connect $switch vif-app-2 2002 dvs-1 00:50:56:aa:bb:04 | sed 's/^/   /'
realized() {
  local dump
  dump=$(dpsimctl dpsim/dump $switch)
  for vif in vif-web-1 vif-web-2 vif-app-1 vif-app-2; do
    grep -A40 "^  $vif\$" <<<"$dump" | grep -q "101 (port blocked)" || return 1
  done
  grep -q '1 (CCP session state) = "up"' <<<"$dump" || return 1
  [[ $("$tolvarctl" dump VIF_STATE | grep -c '"id": "vif-') -ge 4 ]]
}
wait_for "the agent to realize the ports" realized
echo "== what the datapath holds (ovs-appctl -t \$QOR_ROOT/dpsim.ctl dpsim/dump $switch)"
dpsimctl dpsim/dump $switch | sed 's/^/   /'
echo "== guest-reported bindings in the switch-security module (dpsim/dump swsec_tkmlink)"
dpsimctl dpsim/swsec-solicit swsec_tkmlink vif-web-1 >/dev/null
wait_for "the guest bindings" sh -c "ovs-appctl -t '$root/dpsim.ctl' dpsim/dump swsec_tkmlink | grep -q 'bindings=1'"
dpsimctl dpsim/dump swsec_tkmlink | sed 's/^/   /'
echo "== the VIFs' runtime state read back from tolvard (tolvarctl dump VIF_STATE)"
"$tolvarctl" dump VIF_STATE | sed 's/^/   /'
echo "== the agent's view of its ports (ovs-appctl -t \$QOR_ROOT/var/run/zantix/qor-vevuroro/vevuroro-cli vevuroro/lport/status)"
ovs-appctl -t "$root/var/run/zantix/qor-vevuroro/vevuroro-cli" vevuroro/lport/status | sed 's/^/   /'

echo "== the overlay module joins VNIs 5001 and 5002 and learns a local VTEP and MAC (dpsim/l2-join, l2-local-*)"
l2=qor_l2_tkmlink
dpsimctl dpsim/l2-join $l2 5001 11 >/dev/null
dpsimctl dpsim/l2-join $l2 5002 12 >/dev/null
dpsimctl dpsim/l2-local-vtep $l2 5001 10.1.0.100 4200 add >/dev/null
dpsimctl dpsim/l2-local-mac $l2 5001 00:50:56:cc:00:01 10.1.0.100 add >/dev/null
wait_for "the overlay tables" sh -c "ovs-appctl -t '$root/dpsim.ctl' dpsim/dump $l2 | grep -q 'vni 5002 switch 12 vteps=1'"
dpsimctl dpsim/l2-query $l2 arp 5001 10.0.1.10 >/dev/null
wait_for "the ARP answer" sh -c "ovs-appctl -t '$root/dpsim.ctl' dpsim/dump $l2 | grep -q 'arp vni=5001'"
echo "== what the overlay module holds (dpsim/dump $l2)"
dpsimctl dpsim/dump $l2 | sed 's/^/   /'
wait_for "the local L2 state in tolvard" sh -c "'$tolvarctl' dump LOG_SWITCH_STATE | grep -q vteps"
echo "== the overlay module's local state read back from tolvard (tolvarctl dump LOG_SWITCH_STATE)"
"$tolvarctl" dump LOG_SWITCH_STATE | sed 's/^/   /'
echo "== the distributed router the simulator holds (dpsim/dump qor_l3_tkmlink)"
wait_for "the router's routes" sh -c "ovs-appctl -t '$root/dpsim.ctl' dpsim/dump qor_l3_tkmlink | grep -q '^route 1001 192.168.100.0/24'"
dpsimctl dpsim/dump qor_l3_tkmlink | sed 's/^/   /'

echo "== one desired change: port 1's QoS class of service 3 -> 6 (tolvarctl patch ... LSP_QOS set)"
"$tolvarctl" patch LOG_SWITCH_PORT_CONFIG 33333333-3333-3333-0000-000000000001 LSP_QOS set '{"qos": {"cos": 6}}'
wait_for "the datapath to follow" sh -c "ovs-appctl -t '$root/dpsim.ctl' dpsim/dump $switch | grep -A3 '^  vif-web-1' | grep -q 'COS 6'"
dpsimctl dpsim/dump $switch | grep -A3 '^  vif-web-1$' | sed 's/^/   /'

if $stay; then
  cat <<HELP
== everything keeps running under QOR_ROOT=$root; in another shell:
   export QOR_ROOT=$root TOLVAR_SERVER=$TOLVAR_SERVER
   $tolvarctl patch LOG_SWITCH_PORT_CONFIG 33333333-3333-3333-0000-000000000001 LSP_QOS set '{"qos": {"cos": 4}}'
   ovs-appctl -t $root/dpsim.ctl dpsim/dump $switch        # the port's COS follows
   ovs-appctl -t $root/dpsim.ctl dpsim/vif-disconnect $switch vif-web-2
   $tolvarctl dump VIF_STATE                                  # its runtime state is gone
   Ctrl-C here stops everything.
HELP
  wait "$agent" || true
  exit 0
fi

echo "== stopping the agent with SIGTERM"
kill -TERM "$agent"
status=0
wait "$agent" || status=$?
echo "== the agent's log: the configuration application's lines"
grep -E "ConfigApp|IpDiscovery: (Start|Received|retrieved)|DaemonHealthMonitor|Clean up" "$root/agent.log" | cut -c1-220 | sed 's/^/   /'
echo "== qor-vevuroro exited with status $status"
exit "$status"
