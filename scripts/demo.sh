#!/usr/bin/env bash
# The bridge in one command. Installs what the project needs (the idempotent
# install-deps.sh), builds the service and the simulators, lays out a demo
# installation root (demo/, ignored by git), starts the cloud simulator with
# its push server and the IM simulator with a small organisation, writes
# service.ini and qy.ini from what they report, registers nuv4ondeko and runs
# it as a console watchdog, then plays a scenario through the simulators'
# control interfaces, one line per step: what arrived where, how long it took.
# Afterwards it keeps the bridge running and prints its events until Ctrl-C,
# then stops everything it started.
#
#   bash scripts/demo.sh          play, then follow the bridge until Ctrl-C
#   bash scripts/demo.sh --once   play, stop, exit 1 if any step failed
#
# Environment (CTest uses them to run the already built tree):
#   NUV_DEMO_SKIP_BUILD=1   skip install-deps.sh and the build
#   NUV_DEMO_BUILD_DIR=DIR  the build tree (default: build/)
#   NUV_DEMO_ROOT=DIR       the demo installation root (default: demo/)
set -uo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
once=0
for arg in "$@"; do
  case "$arg" in
    --once) once=1 ;;
    -h|--help) sed -n '2,19p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option '$arg' (try --help)" >&2; exit 2 ;;
  esac
done
build="${NUV_DEMO_BUILD_DIR:-$repo/build}"
demo="${NUV_DEMO_ROOT:-$repo/demo}"
run="$demo/run"

# ---------------------------------------------------------------- output
failures=0
t_start_ms=0
now_ms() { date +%s%3N; }
secs() { printf '%d.%02d' $(( $1 / 1000 )) $(( ($1 % 1000) / 10 )); }   # ms -> "1.23"
info() { printf '        %s\n' "$*"; }
ok() {   # ok START_MS TEXT
  printf '[ok  %6s s] %s\n' "$(secs $(( $(now_ms) - $1 )))" "$2"
}
fail() {
  failures=$((failures + 1))
  printf '[FAIL %5s s] %s\n' "$(secs $(( $(now_ms) - $1 )))" "$2"
}
die() { echo "demo: $*" >&2; exit 1; }

# ---------------------------------------------------------------- install and build
if [[ "${NUV_DEMO_SKIP_BUILD:-0}" != 1 ]]; then
  bash "$repo/scripts/install-deps.sh" || die "installing the packages failed (run as root on Debian 12)"
  gen=()
  if [[ ! -f "$build/CMakeCache.txt" ]] && command -v ninja >/dev/null; then gen=(-G Ninja); fi
  echo "demo: building nuv4ondeko, ondeko_sim and nuv_im_sim in $build"
  cmake -S "$repo" -B "$build" "${gen[@]}" >/dev/null || die "cmake configure failed"
  cmake --build "$build" -j"$(nproc)" --target nuv4ondeko ondeko_sim nuv_im_sim >"$build/demo-build.log" 2>&1 ||
    { tail -n 30 "$build/demo-build.log"; die "build failed (log: $build/demo-build.log)"; }
fi
exe_src="$build/service/nuv4ondeko"
cloud_sim="$build/sim/cloud/ondeko_sim"
im_sim="$build/sim/im/nuv_im_sim"
for f in "$exe_src" "$cloud_sim" "$im_sim"; do [[ -x "$f" ]] || die "$f is missing: build first"; done
for tool in curl jq sha256sum base64; do command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"; done

# The demo registers with -RegServer, which removes an installed service unit.
if [[ -f /etc/systemd/system/Nuv4OndekoService.service ]]; then
  die "Nuv4OndekoService is installed on this machine; the demo would remove its unit. Run the demo elsewhere, or remove the service first (nuv4ondeko -UnregServer)."
fi

# ---------------------------------------------------------------- processes
pids=()          # everything this script started, in start order
watchdog_pid=""
stop_pid() {     # stop_pid PID GRACE_SECONDS: SIGTERM, wait, then SIGKILL
  local pid="$1" grace="$2" i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < grace * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    if [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == Z* ]]; then wait "$pid" 2>/dev/null; return 0; fi
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}
worker_pids() { grep -ah 'StartChildProc CreateProcess() OK , child pid' "$demo"/Logs/*.log 2>/dev/null | sed 's/.*child pid \([0-9]*\).*/\1/' | tr -d '\r'; }
cleaned=0
cleanup() {
  ((cleaned)) && return
  cleaned=1
  trap '' PIPE
  exec 2>/dev/null   # the terminal or pipe may be gone; the clean-up goes on
  echo
  echo "demo: stopping everything it started"
  local workers left=()
  workers="$(worker_pids)"
  [[ -n "$watchdog_pid" ]] && stop_pid "$watchdog_pid" 12
  for p in $workers; do
    for ((i = 0; i < 30; i++)); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null
  done
  for ((k = ${#pids[@]} - 1; k >= 0; k--)); do stop_pid "${pids[k]}" 5; done
  for p in "${pids[@]}" $workers; do kill -0 "$p" 2>/dev/null && left+=("$p"); done
  if ((${#left[@]})); then
    echo "demo: still running: ${left[*]}"
  else
    echo "demo: watchdog, worker and simulators stopped; nothing left running"
  fi
  rm -f "$run/pids"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE   # output closed (e.g. piped into head): stop everything too

# An earlier demo in this root that was not stopped (e.g. its terminal died).
if [[ -f "$run/pids" ]]; then
  while read -r p exe; do
    [[ "$(readlink "/proc/$p/exe" 2>/dev/null)" == "$exe" ]] && kill -KILL "$p" 2>/dev/null
  done <"$run/pids"
fi

wait_for() {     # wait_for SECONDS COMMAND...: polls every 0.1 s
  local deadline=$(( $(now_ms) + $1 * 1000 ))
  shift
  until "$@"; do
    (( $(now_ms) > deadline )) && return 1
    sleep 0.1
  done
}
started() {      # started NAME PID: remember a process for the clean-up
  pids+=("$2")
  echo "$2 $(readlink "/proc/$2/exe" 2>/dev/null)" >>"$run/pids"
}

# ---------------------------------------------------------------- control interfaces
cget()  { curl -s --max-time 10 "http://127.0.0.1:$cloud_ctl$1"; }
cpost() { curl -s --max-time 30 -H 'Content-Type: application/json' --data-binary "$2" "http://127.0.0.1:$cloud_ctl$1"; }
iget()  { curl -s --max-time 10 "http://127.0.0.1:$im_ctl$1"; }
ipost() { curl -s --max-time 60 -H 'Content-Type: application/json' --data-binary "$2" "http://127.0.0.1:$im_ctl$1"; }
guid()  { printf '{%s}' "$(cat /proc/sys/kernel/random/uuid | tr a-f A-F)"; }
sha()   { sha256sum "$1" | cut -c1-64; }
size()  { stat -c %s "$1"; }

# ---------------------------------------------------------------- lay out the demo root
rm -rf "$demo"
mkdir -p "$demo/bin" "$demo/Config" "$demo/Logs" "$demo/cloud" "$demo/imserver" "$run" || die "cannot create $demo"
chmod 700 "$demo/Config" "$demo/Logs"
cp "$exe_src" "$demo/bin/nuv4ondeko" || die "cannot copy nuv4ondeko"
t_start_ms=$(now_ms)
echo "== Nuv4OndekoService demo: installation root $demo"

"$cloud_sim" --dir "$demo/cloud" >"$run/ondeko_sim.out" 2>&1 &
started ondeko_sim $!
wait_for 20 grep -q '^port = ' "$run/ondeko_sim.out" || die "ondeko_sim did not start: $(cat "$run/ondeko_sim.out")"
field() { grep -m1 "^$1=" "$2" | cut -d= -f2; }
cloud_ctl="$(field control_port "$run/ondeko_sim.out")"
api_port="$(field api_port "$run/ondeko_sim.out")"
push_port="$(field push_port "$run/ondeko_sim.out")"
"$im_sim" --app-port 0 --fm-port 0 --control-port 0 --install-dir "$demo/imserver" >"$run/nuv_im_sim.out" 2>&1 &
started nuv_im_sim $!
wait_for 20 grep -q 'install_dir=' "$run/nuv_im_sim.out" || die "nuv_im_sim did not start: $(cat "$run/nuv_im_sim.out")"
imline="$(grep -m1 'nuv_im_sim ' "$run/nuv_im_sim.out")"
im_app="$(sed 's/.*app_port=\([0-9]*\).*/\1/' <<<"$imline")"
im_fm="$(sed 's/.*filemonitor_port=\([0-9]*\).*/\1/' <<<"$imline")"
im_ctl="$(sed 's/.*control_port=\([0-9]*\).*/\1/' <<<"$imline")"
info "cloud simulator: API https://127.0.0.1:$api_port, push 127.0.0.1:$push_port, control http://127.0.0.1:$cloud_ctl"
info "IM simulator:    application 127.0.0.1:$im_app, file monitor 127.0.0.1:$im_fm, control http://127.0.0.1:$im_ctl"

# A small organisation: three departments, five users with presence states.
seed() { local r; r="$(ipost "/control/imdb/$1" "$2")"; [[ "$(jq -r .ok <<<"$r")" == true ]] || die "seeding $1 $2: $r"; }
seed dept/add '{"id":1,"parent":0,"name":"总部","sort":1}'
seed dept/add '{"id":2,"parent":1,"name":"研发部","sort":1}'
seed dept/add '{"id":3,"parent":1,"name":"市场部","sort":2}'
users=(alice:艾丽斯:2:online bob:鲍勃:2:online carol:卡萝尔:3:away dave:戴夫:3:offline erin:艾琳:2:online)
n=0
for u in "${users[@]}"; do
  IFS=: read -r acct name dept state <<<"$u"
  n=$((n + 1))
  seed user/add "{\"id\":$n,\"account\":\"$acct\",\"name\":\"$name\",\"position\":\"工程师\"}"
  seed member/add "{\"dept\":$dept,\"user\":$n,\"sort\":$n}"
  ipost /users "{\"user\":\"$acct\",\"state\":\"$state\"}" >/dev/null
done
cpost /known_users '{"accounts":["alice","bob","carol","dave","erin"]}' >/dev/null
info "organisation:    总部 > 研发部 (alice, bob, erin), 市场部 (carol, dave); online alice bob erin, away carol, offline dave"

# service.ini and qy.ini from what the simulators report.
{
  printf '[im]\ninstall_dir = %s\nserver_ip = 127.0.0.1\napp_port = %s\nfilemonitor_port = %s\n\n' "$demo/imserver" "$im_app" "$im_fm"
  cget /service.ini
  printf '\n[push]\nhost = 127.0.0.1\nport = %s\n' "$push_port"
  # The worker's status endpoint on any free loopback port (it writes the
  # port to Config/status.addr; -Status finds it there).
  printf '\n[status]\nlisten = 127.0.0.1:0\n'
} >"$demo/Config/service.ini"
cget /qy.ini >"$demo/Config/qy.ini"
chmod 600 "$demo/Config/qy.ini"  # credentials: the service's user only (docs/operator.md, Security)
# Default limits, except maxcpu at its highest (99): the CPU limit is
# machine-wide, and a demo machine that is still busy building must not end
# the worker.
echo '0;0;0;0;99;0;0;0;' >"$demo/Config/generalconf.ini"
info "settings:        $demo/Config/service.ini, $demo/Config/qy.ini"

# Register and run the watchdog in the console; it starts the worker.
"$demo/bin/nuv4ondeko" -RegServer >"$run/regserver.out" 2>&1 || die "nuv4ondeko -RegServer failed: $(cat "$run/regserver.out")"
t_bridge_ms=$(now_ms)
"$demo/bin/nuv4ondeko" >"$run/watchdog.out" 2>&1 &
watchdog_pid=$!
started nuv4ondeko "$watchdog_pid"
bridge_up() {
  kill -0 "$watchdog_pid" 2>/dev/null || return 0
  [[ "$(iget /state | jq -r '.started and .fm_started')" == true ]] &&
    [[ "$(cget /control/push/status | jq -r '.established')" -ge 1 ]] &&
    [[ "$(cget /tokens | jq 'length')" -ge 1 ]]
}
wait_for 30 bridge_up
if ! kill -0 "$watchdog_pid" 2>/dev/null; then
  grep -aq '已经运行了一个实例' "$demo"/Logs/*.log && die "another Nuv4OndekoService watchdog runs in $demo (lock $demo/Config/nuv4ondeko.lock); stop it first"
  die "the watchdog ended: $(cat "$run/watchdog.out")"
fi
worker="$(worker_pids | tail -n1)"
if bridge_up; then
  ok "$t_bridge_ms" "bridge up: nuv4ondeko registered (-RegServer), console watchdog pid $watchdog_pid, worker pid $worker; IM application started, push connected, token bound"
else
  fail "$t_bridge_ms" "bridge not up within 30 s (IM $(iget /state | jq -c '{started,fm_started}'), push established $(cget /control/push/status | jq .established)); log: $demo/Logs"
fi

# ---------------------------------------------------------------- the scenario
sent_count() { cget /sent | jq --arg t "$1" '[.[] | select(.content == $t)] | length'; }
at_least() { [[ "$("$2" "$3")" -ge "$1" ]]; }    # at_least N FUNC ARG

# 1. IM -> cloud: one text to two receivers arrives as one message.
text="大家好, the release is out"
t=$(now_ms)
ipost /send "$(jq -n --arg t "$text" '{from:"alice",to:["bob","carol"],text:$t}')" >/dev/null
if wait_for 15 at_least 1 sent_count "$text"; then
  sleep 0.3   # a second copy would be right behind
  msg="$(cget /sent | jq -c --arg t "$text" '[.[] | select(.content == $t)]')"
  if [[ "$(jq length <<<"$msg")" == 1 ]]; then
    ok "$t" "IM -> cloud: alice's text to bob and carol arrived at the cloud as one message from $(jq -r '.[0].cur_userid' <<<"$msg") to $(jq -r '.[0].to_userid_list | join(", ")' <<<"$msg")"
  else
    fail "$t" "IM -> cloud: alice's text arrived $(jq length <<<"$msg") times"
  fi
else
  fail "$t" "IM -> cloud: alice's text to bob and carol did not reach the cloud within 15 s"
fi

# 2. cloud -> IM: a cloud user's text reaches an IM user.
text="hello alice, from zhang on the cloud"
im_count() { iget /messages | jq --arg t "$1" '[.[] | select((.values.Content // "") | contains($t))] | length'; }
t=$(now_ms)
cpost /messages "$(jq -n --arg t "$text" --arg c "$(guid)" '{cur_userid:"zhang",chatid:$c,to_userid_list:["alice"],content:$t}')" >/dev/null
if wait_for 15 at_least 1 im_count "$text"; then
  m="$(iget /messages | jq -c --arg t "$text" '[.[] | select((.values.Content // "") | contains($t))][0]')"
  ok "$t" "cloud -> IM: zhang's text arrived at the IM for $(jq -r .receivers <<<"$m") (sender $(jq -r .sender <<<"$m"))"
else
  fail "$t" "cloud -> IM: zhang's text did not reach the IM within 15 s"
fi

# 3. A broadcast arrives as system messages, one per receiver.
text="Friday the office closes at 15:00"
sys_count() { iget /sysmessages | jq --arg t "$1" '[.[] | select(.content == $t)] | length'; }
t=$(now_ms)
cpost /messages "$(jq -n --arg t "$text" '{msg_type:1,chatname:"行政通知",cur_userid:"admin",to_userid_list:["alice","bob","erin"],content:$t}')" >/dev/null
if wait_for 15 at_least 3 sys_count "$text"; then
  who="$(iget /sysmessages | jq -r --arg t "$text" '[.[] | select(.content == $t) | .receiver] | join(", ")')"
  ok "$t" "broadcast: arrived as system messages titled '行政通知' for $who"
else
  fail "$t" "broadcast: $(sys_count "$text") of 3 system messages arrived within 15 s"
fi

# 4. cloud -> IM: a file and an image, sizes and SHA-256 on both sides.
head -c 307207 /dev/urandom >"$run/plan.pdf"
head -c 81923 /dev/urandom >"$run/site.jpg"
t=$(now_ms)
fid="$(curl -s --max-time 30 -H "Content-Type: application/octet-stream" --data-binary @"$run/plan.pdf" "http://127.0.0.1:$cloud_ctl/media?name=plan.pdf&type=file" | jq -r .media_id)"
iid="$(curl -s --max-time 30 -H "Content-Type: application/octet-stream" --data-binary @"$run/site.jpg" "http://127.0.0.1:$cloud_ctl/media?name=site.jpg&type=image" | jq -r .media_id)"
cpost /messages "$(jq -n --arg c "$(guid)" --arg f "$fid" --arg i "$iid" '{cur_userid:"zhang",chatid:$c,to_userid_list:["bob"],content:"",file_id_list:[$f],image_id_list:[$i]}')" >/dev/null
file_count() { iget /sentfiles | jq --arg n "$1" '[.[] | select(.name == $n)] | length'; }
for f in plan.pdf site.jpg; do
  if wait_for 20 at_least 1 file_count "$f"; then
    e="$(iget /sentfiles | jq -c --arg n "$f" '[.[] | select(.name == $n)][0] | {receiver,size_bytes,sha256,isFile}')"
    kind=file; [[ "$(jq -r .isFile <<<"$e")" == 0 ]] && kind=image
    verdict="identical"; [[ "$(jq -r .sha256 <<<"$e")" == "$(sha "$run/$f")" ]] || verdict="DIFFERENT"
    line="cloud -> IM: $kind $f for $(jq -r .receiver <<<"$e"): cloud $(size "$run/$f") B sha256 $(sha "$run/$f" | cut -c1-16)…, IM $(jq -r .size_bytes <<<"$e") B sha256 $(jq -r .sha256 <<<"$e" | cut -c1-16)… ($verdict)"
    if [[ "$verdict" == identical ]]; then ok "$t" "$line"; else fail "$t" "$line"; fi
  else
    fail "$t" "cloud -> IM: $f did not reach the IM within 20 s"
  fi
done

# 5. IM -> cloud: a file and an image, sizes and SHA-256 on both sides.
head -c 524301 /dev/urandom >"$run/report.xlsx"
head -c 120007 /dev/urandom >"$run/photo.png"
base64 -w0 "$run/report.xlsx" >"$run/report.b64"
base64 -w0 "$run/photo.png" >"$run/photo.b64"
text="the figures, and a photo"
jq -n --arg t "$text" --rawfile r "$run/report.b64" --rawfile p "$run/photo.b64" \
  '{from:"erin",to:["zhang"],text:$t,files:[{name:"report.xlsx",data:$r},{name:"photo.png",data:$p,image:true}]}' >"$run/send-files.json"
t=$(now_ms)
curl -s --max-time 60 -H 'Content-Type: application/json' --data-binary @"$run/send-files.json" "http://127.0.0.1:$im_ctl/send" >/dev/null
if wait_for 30 at_least 1 sent_count "$text"; then
  m="$(cget /sent | jq -c --arg t "$text" '[.[] | select(.content == $t)][0]')"
  for pair in "report.xlsx:file_id_list:file" "photo.png:image_id_list:image"; do
    IFS=: read -r f list kind <<<"$pair"
    id="$(jq -r ".${list}[0] // empty" <<<"$m")"
    u="$(cget /uploads | jq -c --arg id "$id" '[.[] | select(.media_id == $id)][0] // {}')"
    verdict="identical"; [[ "$(jq -r .sha256 <<<"$u")" == "$(sha "$run/$f")" ]] || verdict="DIFFERENT"
    line="IM -> cloud: $kind $f from erin: IM $(size "$run/$f") B sha256 $(sha "$run/$f" | cut -c1-16)…, cloud $(jq -r '.size // "-"' <<<"$u") B sha256 $(jq -r '.sha256 // "-"' <<<"$u" | cut -c1-16)… ($verdict)"
    if [[ "$verdict" == identical ]]; then ok "$t" "$line"; else fail "$t" "$line"; fi
  done
else
  fail "$t" "IM -> cloud: erin's file and image did not reach the cloud within 30 s"
fi

# 6. A file over maxfilesize (10485760 bytes by default) produces the notice.
head -c 10485761 /dev/urandom | base64 -w0 >"$run/huge.b64"
jq -n --rawfile d "$run/huge.b64" '{from:"bob",to:["zhang"],text:"",files:[{name:"backup.zip",data:$d}]}' >"$run/send-huge.json"
rm -f "$run/huge.b64"
notice_count() { cget /sent | jq '[.[] | select(.content | startswith("NUV文件太大："))] | length'; }
t=$(now_ms)
curl -s --max-time 120 -H 'Content-Type: application/json' --data-binary @"$run/send-huge.json" "http://127.0.0.1:$im_ctl/send" >/dev/null
rm -f "$run/send-huge.json"
if wait_for 30 at_least 1 notice_count x; then
  m="$(cget /sent | jq -c '[.[] | select(.content | startswith("NUV文件太大："))][0]')"
  ok "$t" "too large: bob's backup.zip (10485761 B) was not sent; the cloud got the notice '$(jq -r .content <<<"$m")' for $(jq -r '.to_userid_list | join(", ")' <<<"$m")"
else
  fail "$t" "too large: no notice for bob's 10 MiB + 1 B file within 30 s"
fi

# 7. A presence change reaches the cloud (set_mute: 0 online, 1 offline, 2 away).
t=$(now_ms)
ipost /users '{"user":"bob","state":"away"}' >/dev/null
mute_of() { cget /mute | jq -r --arg u "$1" '[.[] | select(.username == $u) | .mute_status][0] // "none"'; }
bob_away() { [[ "$(mute_of bob)" == 2 ]]; }
# The directory thread pushes presence on its first pass about 20 s after the
# worker starts, then every minute.
if wait_for 90 bob_away; then
  ok "$t" "presence: bob went away in the IM; the cloud shows bob mute_status 2 (alice $(mute_of alice), carol $(mute_of carol), dave $(mute_of dave)); presence passes come every minute"
else
  fail "$t" "presence: bob's change to away did not reach the cloud within 90 s (cloud: $(cget /mute | jq -c .))"
fi

# 8. The directory export: on the fifth pass of the directory thread.
imports() { cget /imports | jq 'length'; }
expected_at=$(( t_bridge_ms + 260000 ))
later="run without --once to see it imported"
((once)) || later="it is shown below when it happens"
info "directory: the export runs on the fifth pass of the directory thread, about $(( (expected_at - $(now_ms)) / 1000 )) s from now (4-5 min after start); $later"

# 9. The bridge's own account: the -Status summary from the worker's status endpoint.
t=$(now_ms)
status_out="$("$demo/bin/nuv4ondeko" -Status 2>&1)"
status_rc=$?
if ((status_rc == 0)); then
  ok "$t" "status: nuv4ondeko -Status (exit 0):"
else
  fail "$t" "status: nuv4ondeko -Status exited $status_rc:"
fi
sed 's/^/        /' <<<"$status_out"

echo
if ((failures)); then
  echo "demo: $failures step(s) FAILED; logs in $demo/Logs, simulator output in $run"
else
  echo "demo: every step succeeded ($(secs $(( $(now_ms) - t_start_ms ))) s)"
fi
if ((once)); then
  exit $((failures > 0))
fi

# ---------------------------------------------------------------- follow the bridge
cat <<EOF

The bridge keeps running. Explore it from another terminal, for example:
  curl -s -d '{"from":"alice","to":["bob"],"text":"hi"}' 127.0.0.1:$im_ctl/send
  curl -s 127.0.0.1:$cloud_ctl/sent | jq .
  curl -s -d '{"cur_userid":"zhang","chatid":"$(guid)","to_userid_list":["alice"],"content":"hi"}' 127.0.0.1:$cloud_ctl/messages
  curl -s 127.0.0.1:$im_ctl/messages | jq '.[].values.Content'
  curl -s -d '{"user":"erin","state":"away"}' 127.0.0.1:$im_ctl/users
  curl -s 127.0.0.1:$cloud_ctl/mute | jq -c .; curl -s 127.0.0.1:$cloud_ctl/reports | jq .
  $demo/bin/nuv4ondeko -Status; curl -s $(cat "$demo/Config/status.addr" 2>/dev/null)/metrics | grep '^nuv4ondeko_messages'
Log: $demo/Logs/$(date +%Y-%m).log
Events as they happen (directory import expected about $(( (expected_at - $(now_ms)) / 1000 )) s from now); Ctrl-C stops everything:
EOF
seen_lines=$(cat "$demo"/Logs/*.log 2>/dev/null | wc -l)
seen_reports=$(cget /reports | jq length)
seen_imports=$(imports)
seen_mute="$(cget /mute | jq -c .)"
events='SyncOnlineStateToDK|SyncDataToDK|SyncOrg2Ondeko|ReportReboot|OndekoOnNotifyCallback|SendTxtMsg2Ondeko|SendFileMsg2Ondeko|SendTxtMsg2Nuv|SendSysMsg2Nuv|SendFileMsg2Nuv|child proc|StartChildProc|STOP status|Start Nuv App|CheckWorkerSettings|CombineMsg climsgid'
while kill -0 "$watchdog_pid" 2>/dev/null; do
  total=$(cat "$demo"/Logs/*.log 2>/dev/null | wc -l)
  if ((total > seen_lines)); then
    cat "$demo"/Logs/*.log | tail -n +$((seen_lines + 1)) | head -n $((total - seen_lines)) | tr -d '\r' |
      grep -aE "$events" | sed 's/^/  log   | /'
    seen_lines=$total
  fi
  r=$(cget /reports | jq length)
  if ((r > seen_reports)); then
    cget /reports | jq -r ".[$seen_reports:][]" | while IFS='#' read -r kind _ a b c; do
      if [[ "$kind" == MSG ]]; then
        echo "  cloud | status report: $c item(s) handled $(date -d "@$a" +%T)-$(date -d "@$b" +%T)"
      else
        echo "  cloud | restart report: $kind#1#$a#$b (the worker ends itself; a new one follows in 5 s)"
      fi
    done
    seen_reports=$r
  fi
  i=$(imports)
  if ((i > seen_imports)); then
    cget /imports | jq -r ".[$seen_imports:][] | \"  cloud | directory import job \(.job_id): \(.rows | length) rows of the uploaded snapshot\""
    seen_imports=$i
  fi
  mute="$(cget /mute | jq -c .)"
  if [[ "$mute" != "$seen_mute" ]]; then
    echo "  cloud | presence now $(jq -r 'map("\(.username)=\(.mute_status)") | join(" ")' <<<"$mute")"
    seen_mute="$mute"
  fi
  sleep 1 &
  wait $!
done
echo "demo: the watchdog ended by itself: $(tail -n 3 "$run/watchdog.out")"
exit 1
