#!/usr/bin/env bash
# End to end: `creditgauge --bar` under the text bars themselves, each set up with the snippet
# README.md gives for it: i3blocks (the i3bar protocol on its stdout, clicks on its stdin),
# waybar on headless sway and polybar on Xvfb (both looked at in screenshots). Each shows the
# balance fetched over HTTPS from fake_provider behind the real host name, shows it red once
# the balance is low and a click has asked again, and takes its creditgauge with it when it
# ends. Runs in private namespaces (netns-lib.sh): needs root.
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
    require_tools i3blocks polybar convert import secret-tool pgrep pkill /usr/bin/python3
    mkdir -p "$3"
    netns_enter "${BASH_SOURCE[0]}" "$@"
    export D
    host_session "${BASH_SOURCE[0]}" "$@"
fi
app=$1 FAKE_PROVIDER=$2 artifacts=$3
host_session
# i3blocks 1.4 waits for its persistent blocks: its whole process group goes with it.
trap 'kill -- "${PIDS[@]}" ${FAKE_PID:-} ${i3blocks_pid:+-$i3blocks_pid} 2>/dev/null; wait; true' EXIT

key=sk-e2e-bar-0123456789
store_key "$key"
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
# started NAME: the bar shows the balance from one request of one creditgauge, left in $gauge;
# ended NAME: that one ends within 5 s of its bar.
started() {
    [ "$(requests)" -eq 1 ] || fail "$1: $(requests) requests at start"
    gauge=$(gauges)
    [[ $gauge =~ ^[0-9]+$ ]] || fail "$1: creditgauge processes '$gauge'"
}
ended() { wait_until 5 eval "! kill -0 $gauge 2>/dev/null" || fail "$1: creditgauge outlives it"; }

serve 12.5
# i3blocks, run as i3bar runs it: in a process group of its own, clicks written to its stdin,
# the status lines read from its stdout. A second block counts the clicks on it: i3blocks 1.4
# hands a persistent block its own stdin, the clicks on every block, and none may go astray.
snippet i3blocks >"$SESSION/i3blocks.conf"
grep -q "^command=$app --bar=i3blocks" "$SESSION/i3blocks.conf" ||
    fail "README: no i3blocks block running creditgauge --bar=i3blocks"
printf '\n[counter]\ncommand=echo clicked >>%s; wc -l <%s\ninterval=once\n' \
    "$SESSION/counted" "$SESSION/counted" >>"$SESSION/i3blocks.conf"
mkfifo "$SESSION/clicks"
setsid i3blocks -c "$SESSION/i3blocks.conf" <"$SESSION/clicks" >"$SESSION/log/i3bar.log" \
    2>"$SESSION/log/i3blocks.log" &
i3blocks_pid=$!
exec 5>"$SESSION/clicks"
# i3blocks 1.4 reads one line of clicks per wake-up: a line written before it has read the one
# before stays behind. So each goes only once the bar has read everything before it.
send_click() {
    printf '%s\n' "$1" >&5
    unread() { /usr/bin/python3 -c 'import fcntl, struct, termios
print(struct.unpack("i", fcntl.ioctl(5, termios.FIONREAD, bytes(4)))[0])'; }
    wait_until 10 eval '[ "$(unread)" -eq 0 ]' || fail "i3blocks: did not read '$1'"
}
# The creditgauge block of the last status line: "FULL_TEXT|COLOR".
block() { /usr/bin/python3 -c 'import json, sys
lines = [l.strip().lstrip(",") for l in open(sys.argv[1])]
for b in json.loads(next((l for l in reversed(lines) if l.startswith("[{")), "[]")):
    if b.get("name") == "creditgauge": print(b.get("full_text"), b.get("color", "none"), sep="|")
' "$SESSION/log/i3bar.log"; }
wait_until 15 eval '[ "$(block)" = "DeepSeek \$ 13|none" ]' ||
    fail "i3blocks: the block shows '$(block)', not 'DeepSeek \$ 13' uncoloured"
started i3blocks
serve 1.5
send_click '['
separator=''
for _ in 1 2 3 4 5 6 7 8 9 10; do
    send_click "$separator"'{"name":"counter","instance":"","button":1,"x":5,"y":10}'
    separator=,
done
wait_until 10 eval '[ "$(wc -l <"$SESSION/counted")" -eq 11 ]' ||
    fail "i3blocks: $(($(wc -l <"$SESSION/counted") - 1)) of 10 clicks on another block arrived"
[ "$(requests)" -eq 0 ] || fail "i3blocks: clicks on another block refreshed ours"
# i3blocks 1.4 sends its clicks nowhere else; there SIGUSR1 refreshes.
send_click ',{"name":"creditgauge","instance":"","button":1,"x":20,"y":10}'
! i3blocks -V 2>&1 | grep -q '^i3blocks 1\.[0-4]\b' || pkill -USR1 -x creditgauge
wait_until 10 eval '[ "$(block)" = "DeepSeek \$ 2|#ff7b72" ]' ||
    fail "i3blocks: the block shows '$(block)' after the refresh, not 'DeepSeek \$ 2' in red"
[ "$(requests)" -eq 1 ] || fail "i3blocks: $(requests) requests for one refresh"
# i3bar ends its status command's whole process group, and stops writing.
kill -TERM -- -"$i3blocks_pid"
exec 5>&-
ended i3blocks

# on_bar NAME: the bar along the top shows the balance, light; once it is low, a click on it
# shows it red, with no second request and no second creditgauge (as a bar would start one
# that ran the command again after its click).
on_bar() {
    name=$1
    light() { pixels 1440x28+0+0 '#eceff4'; }
    red() { pixels 1440x28+0+0 '#ff7b72'; }
    wait_until 15 eval 'shot bar-$name-ok && [ "$(light)" -ge 20 ] && [ "$(red)" -eq 0 ]' ||
        fail "$name: no balance in the bar ($(light) light, $(red) red pixels)"
    started "$name"
    box 400x28+0+0 '#2e3440' 8% - || fail "$name: nothing drawn at the left of the bar"
    serve 1.5
    click $((bx + bw / 2)) $((by + bh / 2))
    # The pointer leaves, out of the screenshot (sway draws it).
    [ -z "${WAYLAND_DISPLAY:-}" ] || swaymsg -q "seat seat0 cursor set 700 500"
    wait_until 10 eval 'shot bar-$name-low && [ "$(red)" -ge 20 ]' ||
        fail "$name: not red after a click ($(light) light, $(red) red pixels, $(requests) asked)"
    sleep 1
    [ "$(requests)" -eq 1 ] && [ "$(gauges)" = "$gauge" ] ||
        fail "$name: $(requests) requests after a click, creditgauge '$(gauges)', was '$gauge'"
}
# waybar on headless sway with the README's module and style; the rest of the style only fixes
# the font and the colours the screenshots look for.
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
    echo '* { font-family: "DejaVu Sans"; font-size: 18px; border: none; border-radius: 0; }'
    echo 'window#waybar { background: #2e3440; color: #eceff4; }'
    echo '#custom-creditgauge { padding: 0 10px; }'
    snippet waybar 2
} >"$XDG_CONFIG_HOME/waybar/style.css"
grep -q '#ff7b72' "$XDG_CONFIG_HOME/waybar/style.css" || fail "README: no style for waybar"
start_sway
sway_pids=("${PIDS[@]: -3}") # sway, wayvnc, waybar
on_bar waybar
kill "${sway_pids[2]}"
ended waybar
kill "${sway_pids[@]}" 2>/dev/null || true
unset WAYLAND_DISPLAY SWAYSOCK

# polybar on an X server of its own, with the README's module alone on the bar.
serve 12.5
{
    printf '%s\n' '[bar/gauge]' 'width = 100%' 'height = 28' 'background = #2e3440' \
        'foreground = #eceff4' 'font-0 = DejaVu Sans:pixelsize=18;4' 'padding = 1' \
        'modules-left = creditgauge' ''
    snippet polybar
} >"$SESSION/polybar.ini"
grep -q "^exec = $app --bar=polybar" "$SESSION/polybar.ini" ||
    fail "README: no polybar module running creditgauge --bar=polybar"
start_xvfb
polybar -c "$SESSION/polybar.ini" -l info gauge >"$SESSION/log/polybar.log" 2>&1 &
polybar_pid=$!
PIDS+=("$polybar_pid")
on_bar polybar
kill "$polybar_pid"
ended polybar
echo "PASS: i3blocks, waybar and polybar: the balance, red after a click, gone with the bar"
