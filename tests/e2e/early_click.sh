#!/usr/bin/env bash
# Under a watcher that never reads the item's picture (a minimal host), a click that comes before
# the program has loaded opens the panel once it has. Usage: early_click.sh CREDITGAUGE FAKE_DBUS
set -euo pipefail
# shellcheck source=hosts-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/hosts-lib.sh"
host_session "${BASH_SOURCE[0]}" "$@"
start_xvfb
start_watcher "$2" host
QT_QPA_PLATFORM=xcb spawn creditgauge "$1"
wait_until 20 registered $! || fail "item: not registered"
dbus-send --session --type=method_call --dest="$item" /StatusNotifierItem \
    org.kde.StatusNotifierItem.Activate int32:0 int32:0
wait_until 10 xdotool search --onlyvisible --pid "${PIDS[-1]}" >/dev/null ||
    fail "a click before the program had loaded opened no panel"
