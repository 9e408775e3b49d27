#!/usr/bin/env bash
# End to end: `creditgauge --bar` under the text bars themselves, each set up with the snippet
# README.md gives for it: i3blocks (the i3bar protocol on its stdout, clicks on its stdin),
# waybar on headless sway and polybar on Xvfb (both looked at in screenshots). Each shows the
# balance fetched over HTTPS from fake_provider behind the real host name, shows it red once
# the balance is low and a click (SIGUSR1 under i3blocks 1.4) has asked again, and takes its
# creditgauge with it when it ends. Runs in private namespaces (netns-lib.sh): needs root.
# Usage: bar_hosts.sh CREDITGAUGE FAKE_PROVIDER ARTIFACTS_DIR. Exits 77 when a tool is missing
# or namespaces are not allowed.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
# shellcheck disable=SC2016 # what wait_until and on_bar eval expands when it runs
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns-lib.sh
source "$here/netns-lib.sh"
# shellcheck source=hosts-lib.sh
source "$here/hosts-lib.sh"

if [ "${CG_HOST_SESSION:-}" != 1 ]; then
    if [ -z "${CG_NETNS_OUTER:-}" ]; then
        [ $# -eq 3 ] && [ -x "$1" ] && [ -x "$2" ] ||
            { echo "usage: $0 CREDITGAUGE FAKE_PROVIDER ARTIFACTS_DIR" >&2; exit 2; }
        require_tools i3blocks polybar sway swaymsg waybar wayvnc grim Xvfb xdotool import \
            convert gnome-keyring-daemon dbus-run-session dbus-send secret-tool pgrep pkill \
            openssl unshare /usr/bin/python3
        [ "$(id -u)" -ne 0 ] || unshare --user --map-user=1000 --map-group=1000 true 2>/dev/null ||
            { echo "SKIP: as root, sway needs a user namespace, not allowed here"; exit 77; }
        mkdir -p "$3"
        set -- "$(readlink -f "$1")" "$(readlink -f "$2")" "$(cd "$3" && pwd)"
    fi
    netns_enter "$here/bar_hosts.sh" "$@"
    export D
    host_session "${BASH_SOURCE[0]}" "$@"
fi
app=$1 artifacts=$3
export FAKE_PROVIDER=$2 # for fake_start
host_session
# i3blocks 1.4 waits for its persistent blocks: its whole process group goes with it.
trap 'kill -- "${PIDS[@]}" ${FAKE_PID:-} ${i3blocks_pid:+-$i3blocks_pid} 2>/dev/null; wait 2>/dev/null
    rm -rf "$D"; true' EXIT

# The key as the README stores it; only fake_provider learns it, to tell whether it arrived.
key=sk-e2e-bar-0123456789
printf %s "$key" | secret-tool store --label=creditgauge \
    xdg:schema org.qt.keychain server creditgauge user api-key type plaintext
# serve TOTAL: from now on DeepSeek's balance is TOTAL dollars; the request log starts empty.
serve() {
    [ -z "${FAKE_PID:-}" ] || fake_stop
    FAKE_PROVIDER_EXPECT_KEY=$key fake_start server \
        "/user/balance=200:{\"balance_infos\":[{\"currency\":\"USD\",\"total_balance\":\"$1\"}]}"
}
requests() { grep -c 'GET /user/balance .* auth=ok$' "$D/requests.log" || true; }

# snippet HOST [N]: the N-th code block after the paragraph that starts with **HOST** in the
# README's section on text bars, with the built program in place of the bare name it runs.
snippet() {
    awk -v host="**$1**" -v want="${2:-1}" '
        /^## / { section = /^## In text status bars/; seen = 0; next }
        !section { next }
        index($0, host) == 1 { seen = 1; n = 0; next }
        seen && /^```/ { if (inside) { inside = 0; if (n == want) exit } else { inside = 1; n++ }
                         next }
        seen && inside && n == want' "$here/../../README.md" |
        sed "s#\([=:] *\"\?\)creditgauge #\1$app #"
}
# The creditgauge processes running now (pgrep sees only this PID namespace).
gauges() { pgrep -x creditgauge | sort | paste -sd' ' || true; }
# ends PID...: all of them end within 5 s.
ends() { wait_until 5 eval "! kill -0 $* 2>/dev/null"; }

# shot NAME: the bar along the top of the screen (grim, or import on X) in $SESSION/NAME.png.
shot() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then grim "$SESSION/shot.png"
    else import -window root "$SESSION/shot.png"; fi &&
        convert "$SESSION/shot.png" -crop 1440x28+0+0 +repage "$SESSION/$1.png"
}
# pixels IMAGE COLOUR: how many pixels of IMAGE are (nearly) COLOUR.
pixels() { convert "$1" -fuzz 12% -fill black +opaque "$2" -fill white -opaque "$2" \
    -format '%[fx:int(mean*w*h+0.5)]' info:; }
# The balance in the bar's light text colour without any alarm red; or in that red.
shows_ok() { [ "$(pixels "$1" '#eceff4')" -ge 20 ] && [ "$(pixels "$1" '#ff7b72')" -eq 0 ]; }
shows_low() { [ "$(pixels "$1" '#ff7b72')" -ge 20 ]; }
colours() { echo "$(pixels "$1" '#eceff4') light, $(pixels "$1" '#ff7b72') red pixels"; }
# text_at IMAGE: sets tx, ty to the middle of what is drawn at the bar's left.
text_at() {
    local box
    box=$(convert "$1" -crop 400x28+0+0 +repage -fuzz 8% -fill black -opaque '#2e3440' \
        -fill white +opaque black -trim -format '%[fx:page.x] %[fx:page.y] %w %h' info:) &&
        read -r bx by bw bh <<<"$box" && [ "$bw" -gt 4 ] && tx=$((bx + bw / 2)) ty=$((by + bh / 2))
}
# on_bar NAME CLICK...: the bar shows the balance, light; once it is low, CLICK on it (at tx, ty)
# shows it red, with one request from the same, single creditgauge, whose PID is left in
# $gauge. The bar as it looked goes to artifacts/bar-NAME-{ok,low}.png.
on_bar() {
    local name=$1
    shift
    wait_until 15 eval 'shot $name-ok && shows_ok "$SESSION/$name-ok.png"' ||
        fail "$name: no balance in the bar ($(colours "$SESSION/$name-ok.png"))"
    cp "$SESSION/$name-ok.png" "$artifacts/bar-$name-ok.png"
    [ "$(requests)" -eq 1 ] || fail "$name: $(requests) requests at start"
    gauge=$(gauges)
    [[ $gauge =~ ^[0-9]+$ ]] || fail "$name: creditgauge processes '$gauge'"
    text_at "$SESSION/$name-ok.png" || fail "$name: nothing drawn at the left of the bar"
    serve 1.5
    "$@"
    wait_until 10 eval 'shot $name-low && shows_low "$SESSION/$name-low.png"' ||
        fail "$name: not red after a click ($(colours "$SESSION/$name-low.png"), $(requests) asked)"
    cp "$SESSION/$name-low.png" "$artifacts/bar-$name-low.png"
    # A bar that ran the command again after its click (waybar's exec-on-event does for a
    # command it polls) would show here as a second creditgauge and a second request.
    sleep 1
    [ "$(requests)" -eq 1 ] && [ "$(gauges)" = "$gauge" ] ||
        fail "$name: $(requests) requests after a click, creditgauge '$(gauges)', was '$gauge'"
}

serve 12.5

# i3blocks, run as i3bar runs it: in a process group of its own, clicks written to its stdin,
# the status lines read from its stdout.
snippet i3blocks >"$SESSION/i3blocks.conf"
grep -q "^command=$app --bar=i3blocks" "$SESSION/i3blocks.conf" ||
    fail "README: no i3blocks block running creditgauge --bar=i3blocks"
# i3blocks 1.4 hands a persistent block its own stdin, the clicks on every block; from 1.5 on,
# the block's stdin carries the clicks on it alone. A second block counts the clicks on it, so
# that none may go astray into creditgauge.
shared_stdin=false
! i3blocks -V 2>&1 | grep -q '^i3blocks 1\.[0-4]\b' || shared_stdin=true
printf '\n[counter]\ncommand=echo clicked >>%s; wc -l <%s\ninterval=once\n' \
    "$SESSION/counted" "$SESSION/counted" >>"$SESSION/i3blocks.conf"
mkfifo "$SESSION/clicks"
setsid i3blocks -c "$SESSION/i3blocks.conf" <"$SESSION/clicks" >"$SESSION/log/i3bar.log" \
    2>"$SESSION/log/i3blocks.log" &
i3blocks_pid=$!
PIDS+=("$i3blocks_pid")
exec 5>"$SESSION/clicks"
# i3blocks 1.4 reads one line of clicks per wake-up: a line written while it has not yet read
# the one before stays behind, and every later click is taken for the one before it. So each
# line goes only once the bar has read everything before it.
unread() {
    /usr/bin/python3 -c 'import fcntl, struct, termios
print(struct.unpack("i", fcntl.ioctl(5, termios.FIONREAD, bytes(4)))[0])'
}
send_click() {
    printf '%s\n' "$1" >&5
    wait_until 10 eval '[ "$(unread)" -eq 0 ]' || fail "i3blocks: did not read '$1'"
}
# The creditgauge block of the last status line: "FULL_TEXT|COLOR".
block() {
    /usr/bin/python3 -c '
import json, sys
lines = [l.strip().lstrip(",") for l in open(sys.argv[1])]
for b in json.loads(next((l for l in reversed(lines) if l.startswith("[{")), "[]")):
    if b.get("name") == "creditgauge": print(b.get("full_text"), b.get("color", "none"), sep="|")
' "$SESSION/log/i3bar.log"
}
wait_until 15 eval '[ "$(block)" = "DeepSeek \$ 13|none" ]' ||
    fail "i3blocks: the block shows '$(block)', not 'DeepSeek \$ 13' uncoloured"
[ "$(requests)" -eq 1 ] || fail "i3blocks: $(requests) requests at start: $(cat "$D/requests.log")"
gauge=$(gauges)
[[ $gauge =~ ^[0-9]+$ ]] || fail "i3blocks: creditgauge processes: '$gauge'"
serve 1.5
# Clicks on the other block, as i3bar writes them, then a left click on ours.
send_click '['
separator=''
for _ in 1 2 3 4 5 6 7 8 9 10; do
    send_click "$separator"'{"name":"counter","instance":"","button":1,"x":5,"y":10}'
    separator=,
done
wait_until 10 eval '[ "$(wc -l <"$SESSION/counted")" -eq 11 ]' ||
    fail "i3blocks: $(($(wc -l <"$SESSION/counted") - 1)) of 10 clicks on another block arrived"
[ "$(requests)" -eq 0 ] || fail "i3blocks: clicks on another block refreshed ours"
send_click ',{"name":"creditgauge","instance":"","button":1,"x":20,"y":10}'
! $shared_stdin || pkill -USR1 -x creditgauge
wait_until 10 eval '[ "$(block)" = "DeepSeek \$ 2|#ff7b72" ]' ||
    fail "i3blocks: the block shows '$(block)' after the refresh, not 'DeepSeek \$ 2' in red"
[ "$(requests)" -eq 1 ] || fail "i3blocks: $(requests) requests for one refresh"
# i3bar ends its status command's whole process group, and stops writing.
kill -TERM -- -"$i3blocks_pid"
exec 5>&-
ends "$gauge" || fail "i3blocks: creditgauge still runs 5 s after i3blocks was stopped"
echo "PASS i3blocks: the balance, red after a $($shared_stdin && echo SIGUSR1 || echo click)," \
    "gone with the bar"

# waybar on headless sway, with the README's module and style, and the tray start_sway waits
# for; the rest of the style only fixes the font and colours the screenshots are checked for.
serve 12.5
mkdir -p "$XDG_CONFIG_HOME/waybar"
{
    echo '{ "layer": "top", "position": "top", "height": 28,'
    echo '  "modules-left": ["custom/creditgauge"], "modules-right": ["tray"],'
    snippet waybar
    echo '}'
} >"$XDG_CONFIG_HOME/waybar/config"
grep -q "\"exec\": \"$app --bar=waybar\"" "$XDG_CONFIG_HOME/waybar/config" ||
    fail "README: no waybar module running creditgauge --bar=waybar"
{
    cat <<'EOF'
* { font-family: "DejaVu Sans"; font-size: 18px; border: none; border-radius: 0; }
window#waybar { background: #2e3440; color: #eceff4; }
#custom-creditgauge { padding: 0 10px; }
EOF
    snippet waybar 2
} >"$XDG_CONFIG_HOME/waybar/style.css"
grep -q '#ff7b72' "$XDG_CONFIG_HOME/waybar/style.css" || fail "README: no style for waybar"
start_sway
sway_pids=("${PIDS[@]: -3}") # sway, wayvnc, waybar
# The pointer arrives first, and a moment later the press, as with a hand on the mouse; then
# it leaves, out of the screenshot.
sway_click() {
    swaymsg -q "seat seat0 cursor set $tx $ty"
    sleep 0.2
    swaymsg -q "seat seat0 cursor press button1"
    swaymsg -q "seat seat0 cursor release button1"
    swaymsg -q "seat seat0 cursor set 700 500"
}
on_bar waybar sway_click
kill "${sway_pids[2]}"
ends "$gauge" || fail "waybar: creditgauge still runs 5 s after waybar ended"
echo "PASS waybar: the balance, red after a click, one creditgauge, gone with the bar"

# polybar on an X server of its own, with the README's module alone on the bar.
kill "${sway_pids[@]}" 2>/dev/null || true
unset WAYLAND_DISPLAY SWAYSOCK
serve 12.5
{
    cat <<'EOF'
[bar/gauge]
width = 100%
height = 28
background = #2e3440
foreground = #eceff4
font-0 = DejaVu Sans:pixelsize=18;4
padding = 1
modules-left = creditgauge

EOF
    snippet polybar
} >"$SESSION/polybar.ini"
grep -q "^exec = $app --bar=polybar" "$SESSION/polybar.ini" ||
    fail "README: no polybar module running creditgauge --bar=polybar"
start_xvfb
polybar -c "$SESSION/polybar.ini" -l info gauge >"$SESSION/log/polybar.log" 2>&1 &
polybar_pid=$!
PIDS+=("$polybar_pid")
on_bar polybar eval 'xdotool mousemove --sync "$tx" "$ty" click 1'
kill "$polybar_pid"
ends "$gauge" || fail "polybar: creditgauge still runs 5 s after polybar ended"
echo "PASS polybar: the balance, red after a click, one creditgauge, gone with the bar"
