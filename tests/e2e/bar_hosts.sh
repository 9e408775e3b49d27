#!/usr/bin/env bash
# End to end: `creditgauge --bar` under i3blocks set up with README.md's snippet: the balance
# over HTTPS, red once low and SIGUSR1 (a click under i3blocks 1.4) has asked again, and the
# program gone with the bar. Other bars differ only in the lines' form (TestStatusBarOutput).
# Usage: bar_hosts.sh CREDITGAUGE FAKE_PROVIDER. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
# shellcheck disable=SC2016 # what wait_until eval expands when it runs
set -euo pipefail
# shellcheck source=hosts-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/hosts-lib.sh"
require_tools i3blocks secret-tool pgrep pkill jq
host_session --netns "${BASH_SOURCE[0]}" "$@"
app=$1 FAKE_PROVIDER=$2
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
# snippet HOST MUST FILE: adds to FILE the code block after the paragraph starting **HOST** in
# the README's section on text bars, running the built program; fails unless MUST is in it.
snippet() {
    awk -v host="**$1**" '
        /^## / { section = /^## In text status bars/; seen = 0; next }
        !section { next }
        index($0, host) == 1 { seen = 1; next }
        seen && /^```/ { if (inside) exit; inside = 1; next }
        seen && inside' "$(dirname "${BASH_SOURCE[0]}")/../../README.md" |
        sed "s#\([=:] *\"\?\)creditgauge #\1$app #" >>"$3"
    grep -qF -- "$2" "$3" || fail "README: no '$2' for $1"
}
# i3blocks as i3bar runs it: in a process group of its own, clicks on stdin, lines on stdout.
serve 12.5
snippet i3blocks "command=$app --bar=i3blocks" "$SESSION/i3blocks.conf"
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
# One request from one creditgauge (pgrep sees this PID namespace only).
gauge=$(pgrep -x creditgauge | paste -sd' ' || true)
[ "$(requests)" -eq 1 ] && [[ $gauge =~ ^[0-9]+$ ]] ||
    fail "i3blocks: $(requests) requests from creditgauge '$gauge' at start"
serve 1.5
pkill -USR1 -x creditgauge
wait_until 10 eval '[ "$(block)" = "DeepSeek \$ 2|#ff7b72" ]' ||
    fail "i3blocks: the block shows '$(block)' after SIGUSR1, not 'DeepSeek \$ 2' in red"
[ "$(requests)" -eq 1 ] || fail "i3blocks: $(requests) requests for one refresh"
kill -TERM -- -"$i3blocks_pid"
wait_until 5 eval "! kill -0 $gauge 2>/dev/null" || fail "i3blocks: creditgauge outlives it"

# A bar gone while a key read waits on a stalled keyring: the program ends quietly all the same.
kill -STOP "$(pgrep -x gnome-keyring-d)"
"$app" --bar 2>"$SESSION/quiet.err" | wait_until 10 pgrep -f creditgauge-keychain >/dev/null ||
    fail "quiet end: status $?"
kill -CONT "$(pgrep -x gnome-keyring-d)"
[ ! -s "$SESSION/quiet.err" ] || fail "quiet end: $(cat "$SESSION/quiet.err")"
# --account: a second DeepSeek account by its name, whatever its case; a name nobody gave.
mkdir -p "$XDG_CONFIG_HOME/creditgauge"
printf '[accounts]\nlist=deepseek-2\ndeepseek-2\\name=Arbeit\n' \
    >"$XDG_CONFIG_HOME/creditgauge/creditgauge.conf"
store_key sk-e2e-bar-0123456789 api-key-deepseek-2
line=$(timeout 20 "$app" --bar --account arbeit | head -n 1) || true
[ "$line" = '$ 2' ] || fail "--account arbeit: '$line'"
status=0
"$app" --bar --account Nobody 2>"$SESSION/account.err" >/dev/null || status=$?
[ "$status" -eq 2 ] && grep -q '^creditgauge: Kein Konto „Nobody“ (deepseek, Arbeit, ' \
    "$SESSION/account.err" || fail "--account Nobody: status $status, $(cat "$SESSION/account.err")"
echo "PASS: i3blocks: the balance, red after SIGUSR1, gone with the bar; a quiet end; --account"
