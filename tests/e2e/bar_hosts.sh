#!/usr/bin/env bash
# End to end: `creditgauge --bar` under the bars themselves, each set up with README.md's snippet
# for it: i3blocks (its i3bar protocol read), waybar on headless sway and polybar on Xvfb (both
# looked at in screenshots). Each shows the balance over HTTPS from fake_provider behind the
# real host name, shows it red once it is low and a click (SIGUSR1 under i3blocks 1.4) has
# asked again, and takes its one creditgauge with it when it ends. Needs root (netns-lib.sh).
# Usage: bar_hosts.sh CREDITGAUGE FAKE_PROVIDER ARTIFACTS_DIR. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
# shellcheck disable=SC2016 # what wait_until eval expands when it runs
set -euo pipefail
# shellcheck source=hosts-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/hosts-lib.sh"
require_tools i3blocks polybar convert import secret-tool pgrep pkill jq
host_session --netns "${BASH_SOURCE[0]}" "$@"
app=$1 FAKE_PROVIDER=$2 artifacts=$3
mkdir -p "$artifacts"
# i3blocks waits for its persistent blocks: its whole process group goes with it.
trap 'kill -- "${PIDS[@]}" ${FAKE_PID:-} ${i3blocks_pid:+-$i3blocks_pid} 2>/dev/null; wait; true' EXIT

store_key sk-e2e-bar-0123456789
# serve TOTAL: from now on DeepSeek's balance is TOTAL dollars; the request log starts empty.
serve() {
    [ -z "${FAKE_PID:-}" ] || fake_stop
    FAKE_PROVIDER_EXPECT_KEY=sk-e2e-bar-0123456789 fake_start server \
        "/user/balance=200:{\"balance_infos\":[{\"currency\":\"USD\",\"total_balance\":\"$1\"}]}"
}
requests() { grep -c 'GET /user/balance .* auth=ok$' "$D/requests.log" || true; }
# snippet HOST N MUST FILE: adds to FILE the N-th code block after the paragraph that starts
# with **HOST** in the README's section on text bars, running the built program; fails unless
# MUST is in it.
snippet() {
    awk -v host="**$1**" -v want="${2:-1}" '
        /^## / { section = /^## In text status bars/; seen = 0; next }
        !section { next }
        index($0, host) == 1 { seen = 1; n = 0; next }
        seen && /^```/ { if (inside) { inside = 0; if (n == want) exit } else { inside = 1; n++ }
                         next }
        seen && inside && n == want' "$(dirname "${BASH_SOURCE[0]}")/../../README.md" |
        sed "s#\([=:] *\"\?\)creditgauge #\1$app #" >>"$4"
    grep -qF -- "$3" "$4" || fail "README: no '$3' for $1"
}
# started NAME: one request from one creditgauge, left in $gauge (pgrep sees this PID namespace
# only); ended NAME: that one ends within 5 s of its bar.
gauges() { pgrep -x creditgauge | paste -sd' ' || true; }
started() {
    gauge=$(gauges)
    [ "$(requests)" -eq 1 ] && [[ $gauge =~ ^[0-9]+$ ]] ||
        fail "$1: $(requests) requests from creditgauge '$gauge' at start"
}
ended() { wait_until 5 eval "! kill -0 $gauge 2>/dev/null" || fail "$1: creditgauge outlives it"; }

# i3blocks as i3bar runs it: in a process group of its own, clicks on stdin, lines on stdout.
serve 12.5
snippet i3blocks 1 "command=$app --bar=i3blocks" "$SESSION/i3blocks.conf"
mkfifo "$SESSION/clicks"
setsid i3blocks -c "$SESSION/i3blocks.conf" <"$SESSION/clicks" >"$SESSION/log/i3bar.log" \
    2>"$SESSION/log/i3blocks.log" &
i3blocks_pid=$!
exec 5>"$SESSION/clicks"
# The creditgauge block of the last status line: "FULL_TEXT|COLOR".
block() { grep '^,\?\[{' "$SESSION/log/i3bar.log" | tail -n 1 | sed 's/^,//' |
    jq -r '.[] | select(.name == "creditgauge") | "\(.full_text)|\(.color // "none")"'; }
wait_until 15 eval '[ "$(block)" = "DeepSeek \$ 13|none" ]' ||
    fail "i3blocks: the block shows '$(block)', not 'DeepSeek \$ 13' uncoloured"
started i3blocks
serve 1.5
pkill -USR1 -x creditgauge
wait_until 10 eval '[ "$(block)" = "DeepSeek \$ 2|#ff7b72" ]' ||
    fail "i3blocks: the block shows '$(block)' after SIGUSR1, not 'DeepSeek \$ 2' in red"
[ "$(requests)" -eq 1 ] || fail "i3blocks: $(requests) requests for one refresh"
kill -TERM -- -"$i3blocks_pid"
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
# waybar on headless sway, the README's module and style in its own font and colours.
serve 12.5
waybar=$XDG_CONFIG_HOME/waybar
mkdir -p "$waybar"
echo '{ "layer": "top", "height": 28, "modules-left": ["custom/creditgauge"], "modules-right": ["tray"],' \
    >"$waybar/config"
snippet waybar 1 "\"exec\": \"$app --bar=waybar\"" "$waybar/config"
echo '}' >>"$waybar/config"
echo '* { font-family: "DejaVu Sans"; font-size: 18px; border: none; border-radius: 0; }
window#waybar { background: #2e3440; color: #eceff4; } #custom-creditgauge { padding: 0 10px; }' \
    >"$waybar/style.css"
snippet waybar 2 '#ff7b72' "$waybar/style.css"
start_sway
on_bar waybar
kill "${PIDS[-1]}" # waybar
ended waybar
kill "${PIDS[@]: -3}" 2>/dev/null || true # sway and wayvnc
unset WAYLAND_DISPLAY SWAYSOCK

# polybar on an X server of its own, with the README's module alone on the bar.
serve 12.5
printf '%s\n' '[bar/gauge]' 'width = 100%' 'height = 28' 'background = #2e3440' \
    'foreground = #eceff4' 'font-0 = DejaVu Sans:pixelsize=18;4' 'modules-left = creditgauge' \
    >"$SESSION/polybar.ini"
snippet polybar 1 "exec = $app --bar=polybar" "$SESSION/polybar.ini"
start_xvfb
spawn polybar polybar -c "$SESSION/polybar.ini" gauge
on_bar polybar
kill "${PIDS[-1]}"
ended polybar
echo "PASS: i3blocks, waybar and polybar: the balance, red after a click, gone with the bar"
