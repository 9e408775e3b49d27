#!/usr/bin/env bash
# The real program under a watcher that never reads the item's picture, as a minimal host does:
# a click (Activate) that comes before the rest of the application is there opens the panel once
# it is. Usage: early_click.sh CREDITGAUGE FAKE_DBUS_SERVICE
set -euo pipefail
# shellcheck source=hosts-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/hosts-lib.sh"
host_session "${BASH_SOURCE[0]}" "$@"
start_xvfb
mkfifo "$SESSION/watcher.in"
"$2" status-notifier-watcher <"$SESSION/watcher.in" >"$SESSION/log/watcher.log" 2>&1 &
PIDS+=($!)
exec 4>"$SESSION/watcher.in"
echo host >&4
wait_until 10 grep -qx host "$SESSION/log/watcher.log" || fail "setup: no stand-in watcher"
QT_QPA_PLATFORM=xcb spawn creditgauge "$1"
app=$!
item() { item=$(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems | sed -n 's/^ *string "\([^"/@]*\).*"$/\1/p') && [ -n "$item" ]; }
wait_until 20 item || fail "item: not registered"
dbus-send --session --type=method_call --dest="$item" /StatusNotifierItem org.kde.StatusNotifierItem.Activate int32:0 int32:0
wait_until 10 xdotool search --onlyvisible --pid "$app" >/dev/null || fail "the early click opened no panel"
