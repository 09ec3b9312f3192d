#!/usr/bin/env bash
# The main job: builds everything, then shows the whole system at work on a simulated
# MacBook in a temporary directory, step by step:
#   the companion installs the daemon from the Applications folder, the user approves it,
#   the window reports it ready; a closed-lid session begins, survives closing the lid and
#   ends on reopening it, with the setting and the journal shown at every step; finally
#   the companion restores sleep and removes the daemon.
# Screenshots of the companion window go to out/demo/. Needs root (the daemon runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

bash scripts/setup.sh >/dev/null
cmake -S . -B build -G Ninja >/dev/null
echo "Building (this takes a few minutes the first time)..."
cmake --build build -j "$(nproc)" >/dev/null

B=$repo/build
R=$(mktemp -d /tmp/dravik-demo.XXXXXX)
chmod 0755 "$R"
out=$repo/out/demo
mkdir -p "$out"
machine() { "$B/bin/dravik-machine" --root "$R" "$@"; }
APP="$R/Applications/Quellan Compatibility.app/Contents/MacOS"
as_user() { DRAVIK_MACHINE=$R setpriv --reuid=501 --regid=501 --clear-groups "$@"; }
journal="$R/Library/Application Support/dravik.compatibility/recovery.json"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$R"
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
setting() {
  local s
  s=$(machine json | python3 -c 'import json,sys; m=json.load(sys.stdin); print("disabled" if m["rootDomain"].get("SleepDisabled") else "enabled")')
  local j="absent"
  [ -e "$journal" ] && j="present ($(cat "$journal"))"
  echo "   system sleep: $s | journal: $j | the Mac now: $(machine show | sed -n 's/^the Mac now: //p')"
}
wait_for() {  # wait_for SECONDS COMMAND...: polls until the command succeeds
  local until=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -ge $until ] && { echo "   (gave up waiting)"; return 1; }
    sleep 0.1
  done
}
screenshot() {  # screenshot NAME LANGUAGE: the companion window, as the console user
  mkdir -p "$R/shots" && chmod 0777 "$R/shots"
  as_user env QT_QPA_PLATFORM=offscreen "$APP/QuellanCompatibility" --language "$2" \
    --screenshot "$R/shots/$1.png" >/dev/null 2>&1 && cp "$R/shots/$1.png" "$out/$1.png" &&
    echo "   screenshot: out/demo/$1.png"
}

step "A simulated MacBook at $R"
machine create >/dev/null
"$B/tools/codesign/dravik-codesign" install-anchor --anchor "$B/dev-identity/anchor" --root "$R" >/dev/null
machine show | sed 's/^/   /' | head -9
setting

step "Installing the app into /Applications and starting the simulated launchd"
machine install-app --from "$B/bin"
"$B/bin/dravik-launchd" --root "$R" >"$R/launchd.log" 2>&1 &
pids+=($!)
ls "$R/Applications"

step "The companion (as the console user, uid 501) installs the service"
as_user "$APP/quellan-compat-cli" install | sed 's/^/   /'

step "The user approves it in System Settings (the simulator's approval step)"
machine service approve Q7TX2KM9RZ.dravik.sleep-service.plist
wait_for 10 test -S "$R/var/run/Q7TX2KM9RZ.dravik.sleep-service.sock"
machine service show | sed 's/^/   /'

step "The companion checks the service"
wait_for 10 sh -c "DRAVIK_MACHINE=$R setpriv --reuid=501 --regid=501 --clear-groups '$APP/quellan-compat-cli' refresh | grep -q 兼容组件已就绪"
as_user "$APP/quellan-compat-cli" refresh | sed 's/^/   /'
screenshot ready-zh zh-Hans || true
screenshot ready-en en || true

step "A closed-lid session begins with the lid open (dravik-session, uid 501)"
setting
as_user "$B/bin/dravik-session" --language en begin --quiet-renewals >"$R/session.log" 2>&1 &
session=$!
pids+=($session)
wait_for 10 test -e "$journal"
sed 's/^/   session: /' "$R/session.log"
setting

step "The lid closes: the Mac stays awake"
machine lid close >/dev/null
sleep 2.5
setting

step "The lid reopens: the session ends and normal sleep comes back"
machine lid open >/dev/null
wait_for 10 sh -c "! test -e '$journal'"
wait "$session" || true
sed 's/^/   session: /' "$R/session.log"
setting

step "Closing the lid now puts the Mac to sleep, as it should"
machine lid close >/dev/null
setting
machine lid open >/dev/null

step "The companion restores sleep and removes the service"
as_user "$APP/quellan-compat-cli" remove | sed 's/^/   /'
wait_for 10 sh -c "! test -S '$R/var/run/Q7TX2KM9RZ.dravik.sleep-service.sock'"
machine service show | sed 's/^/   /'
setting
screenshot removed-zh zh-Hans || true

step "The daemon's log"
sed 's/^/   /' "$R"/var/log/*.log 2>/dev/null || true
echo
echo "Done. Every step above ran real programs against the simulated MacBook."
