#!/usr/bin/env bash
# End to end: the built program in a real tray (trayer, XEmbed) on its own X server, D-Bus
# session and unlocked, empty keyring, driven by xdotool. With no key stored it makes no request.
# Beside the tray runs a StatusNotifierWatcher with no host, as a panel that is still starting
# has: the icon goes to the tray all the same, to the watcher once a host is announced, and
# back when it goes.
# As root it then runs in private namespaces (netns-lib.sh) with a key stored, fetches the
# balance over HTTPS from fake_provider behind the real host name, and quits.
# Usage: tray_app.sh CREDITGAUGE FAKE_PROVIDER FAKE_WATCHER ARTIFACTS_DIR (screenshots). Exits 77
# when a tool is missing.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=netns-lib.sh
source "$here/netns-lib.sh"

if [ "${1:-}" != --inner ]; then
    [ $# -eq 4 ] && [ -x "$1" ] && [ -x "$2" ] && [ -x "$3" ] ||
        { echo "usage: $0 CREDITGAUGE FAKE_PROVIDER FAKE_WATCHER ARTIFACTS_DIR" >&2; exit 2; }
    for tool in Xvfb trayer xdotool xwininfo xprop import convert gnome-keyring-daemon \
        dbus-run-session dbus-send timeout secret-tool; do
        command -v $tool > /dev/null || { echo "SKIP: $tool is not installed"; exit 77; }; done
    app=$(readlink -f "$1") FAKE_PROVIDER=$(readlink -f "$2") watcher=$(readlink -f "$3")
    artifacts=$(mkdir -p "$4" && cd "$4" && pwd)
    if [ "$(id -u)" -eq 0 ] && unshare --mount --net --pid --fork true 2> /dev/null; then
        netns_enter "$here/tray_app.sh" "$app" "$FAKE_PROVIDER" "$watcher" "$artifacts"
        export D FAKE_PROVIDER
    fi
    session=$(mktemp -d)
    trap 'rm -rf "$session" ${D:+"$D"}' EXIT
    trap 'exit 143' TERM INT HUP
    mkdir -p "$session"/{home,config,data,cache,runtime} && chmod 700 "$session/runtime"
    export HOME=$session/home XDG_CONFIG_HOME=$session/config XDG_DATA_HOME=$session/data \
        XDG_CACHE_HOME=$session/cache XDG_RUNTIME_DIR=$session/runtime
    # xprop prints UTF8_STRING titles as text only under a UTF-8 locale.
    export LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    dbus-run-session -- bash "${BASH_SOURCE[0]}" --inner "$app" "$watcher" "$artifacts" "$session" ||
        exit
    exit 0
fi

app=$2 watcher=$3 artifacts=$4 session=$5 keyring_pid='' xvfb_pid='' trayer_pid='' app_pid=''
watcher_pid=''
trap 'kill $app_pid $trayer_pid $watcher_pid $xvfb_pid $keyring_pid ${FAKE_PID:-} 2> /dev/null ||
    true; wait' EXIT
trap 'exit 143' TERM INT HUP
fail() { echo "FAIL: $*"; xwininfo -root -tree || true; echo "---- creditgauge output:"
    cat "$session/app.log" || true; exit 1; }
# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; false on time-out.
wait_until() { local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000)); shift
    until "$@"; do [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1; sleep 0.1; done; }

# Started without a display: with one, a locked keyring could prompt and wait forever.
echo -n creditgauge-test | gnome-keyring-daemon --unlock --components=secrets > /dev/null
bus() { dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    "org.freedesktop.DBus.$1" string:org.freedesktop.secrets 2> /dev/null; }
secrets_owned() { bus NameHasOwner | grep -q 'boolean true'; }
wait_until 15 secrets_owned || fail "setup: the keyring never owned org.freedesktop.secrets"
keyring_pid=$(bus GetConnectionUnixProcessID | awk '/uint32/ { print $2 }')

# Without -noreset the server resets whenever its last client leaves, dropping one just arriving.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3> "$session/display" &> /dev/null &
xvfb_pid=$!
wait_until 15 test -s "$session/display" || fail "setup: Xvfb did not start"
DISPLAY=":$(head -n 1 "$session/display")" && export DISPLAY

geometry() { xwininfo -id "$1" | awk '/Absolute.*X:/ { x = $4 } /Absolute.*Y:/ { y = $4 }
    /Width:/ { w = $2 } /Height:/ { h = $2 } END { print x, y, w, h }'; }
viewable() { xwininfo -id "$1" 2> /dev/null | grep -q 'Map State: IsViewable'; }
prop() { xprop -id "$1" "$2" 2> /dev/null | sed -n 's/^[^=]*= "\(.*\)"$/\1/p'; }
# crop X Y W H CONVERT_ARGS...: that part of a fresh screen grab, clipped to the screen.
crop() { import -window root "$session/s.png"
    convert "$session/s.png" -crop "$(printf '%dx%d%+d%+d' "$3" "$4" "$1" "$2")" +repage "${@:5}"; }
# Darker than this is the black root behind a window that is mapped but not drawn yet. Qt takes
# the keyboard for a popup on the same expose, so keys are sent only once this holds.
painted() { [ "$(crop "$@" -format '%[fx:int(mean*100)]' info:)" -ge 20 ]; }
# xdotool's --sync waits for the pointer to move, forever when it is there already.
click_at() { [ "$(xdotool getmouselocation | cut -d' ' -f1-2)" = "x:$1 y:$2" ] ||
    xdotool mousemove --sync "$1" "$2"; xdotool click "$3"; }
visible_windows() { xdotool search --onlyvisible --class '^creditgauge$' 2> /dev/null || true; }

trayer --edge top --align right --widthtype request --height 24 --SetDockType true &> /dev/null &
trayer_pid=$!
tray_up() { tray=$(xdotool search --onlyvisible --name '^panel$' | head -n 1); [ -n "$tray" ]; }
wait_until 15 tray_up || fail "tray: trayer's panel never appeared"
mkfifo "$session/watcher.in"
"$watcher" < "$session/watcher.in" > "$session/watcher.log" 2>&1 & watcher_pid=$!
exec 4> "$session/watcher.in"
wait_until 10 grep -qx ready "$session/watcher.log" || fail "setup: the stand-in watcher did not start"

"$app" > "$session/app.log" 2>&1 < /dev/null & app_pid=$!
icon_re='^ *(0x[0-9a-f]+) .*\("creditgauge" "creditgauge"\) +22x22[-+0-9]+ +\+([-0-9]+)\+([-0-9]+)$'
icon_embedded() { # sets icon, icon_x and icon_y
    read -r icon icon_x icon_y < <(xwininfo -tree -id "$tray" | sed -nE "s/$icon_re/\1 \2 \3/p") &&
        viewable "$icon"; }
app_gone() { ! kill -0 "$app_pid" 2> /dev/null; }
wait_until 15 eval 'icon_embedded || app_gone' && icon_embedded ||
    fail "icon: no 22x22 creditgauge window in the tray$(app_gone && echo ', creditgauge exited')"
[ "$(prop "$icon" _NET_WM_NAME)" = CreditGauge ] || fail "icon: not named CreditGauge"
# No key stored: the alarm badge, mostly red with a light figure (pixels of 484).
count() { crop "$icon_x" "$icon_y" 22 22 -fx "$1" -format '%[fx:int(mean*484+0.5)]' info:; }
# Where the tray has put the icon by now: a newly embedded one may still be moved into place.
alarm() { icon_embedded || return 1
    red=$(count 'r>=0.63&&g<=0.35&&b<=0.35') light=$(count 'r>=0.78&&g>=0.78&&b>=0.78')
    [ "$red" -ge 200 ] && [ "$light" -ge 4 ]; }
wait_until 5 alarm || fail "icon: not the red alarm badge ($red red, $light light pixels)"
read -r tx ty tw th < <(geometry "$tray")
crop "$tx" "$ty" "$tw" "$th" "$artifacts/tray.png"
convert "$artifacts/tray.png" -filter point -resize 800% "$artifacts/tray-zoom.png"

title="Kein API-Key für DeepSeek hinterlegt."
panel_up() { for panel in $(visible_windows); do
    [ "$(prop "$panel" WM_NAME)" = "$title" ] && return 0; done; false; }
icon_cx=$((icon_x + 11)) icon_cy=$((icon_y + 11)) icon_bottom=$((icon_y + 22))
click_at "$icon_cx" "$icon_cy" 1
wait_until 10 panel_up || fail "panel: no visible window titled '$title' after a left click"
read -r px py pw ph < <(geometry "$panel")
((py >= icon_bottom && py <= icon_bottom + 10 && px <= icon_cx && px + pw > icon_cx && px >= 0 &&
    px + pw <= 1280 && py + ph <= 800)) || fail "panel: ${pw}x$ph+$px+$py, not below the icon"
wait_until 5 painted "$px" "$py" "$pw" "$ph" || true
crop $((px - 10)) $((icon_y - 2)) $((pw + 20)) $((py - icon_y + ph + 12)) "$artifacts/panel.png"
xdotool key Escape
wait_until 5 eval "! viewable $panel" || fail "panel: still visible 5 s after Escape"

# A second start asks the running instance over the session bus to show its details, and
# leaves; the panel opens below the icon as it does on a click.
timeout 10 "$app" &> "$session/2.log" < /dev/null || fail "second start: status $? (124: hung)"
[ ! -s "$session/2.log" ] || fail "second start: wrote $(cat "$session/2.log")"
! app_gone && icon_embedded || fail "second start: the first instance or its icon is gone"
wait_until 10 panel_up || fail "second start: the running instance shows no panel"
read -r px py pw ph < <(geometry "$panel")
((py >= icon_bottom && py <= icon_bottom + 10 && px <= icon_cx && px + pw > icon_cx)) ||
    fail "second start: panel at ${pw}x$ph+$px+$py, not below the icon"
wait_until 5 painted "$px" "$py" "$pw" "$ph" || true
xdotool key Escape
wait_until 5 eval "! viewable $panel" || fail "second start: panel still visible after Escape"

# A host comes: the item registers with the watcher and leaves the XEmbed tray. It goes: the icon
# is back in the tray, with its badge.
items() { dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
    string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems 2> /dev/null; }
echo host >&4
wait_until 10 eval 'items | grep -q "StatusNotifierItem-$app_pid-"' ||
    fail "host: the item did not register with the watcher"
wait_until 10 eval '! icon_embedded' || fail "host: the icon is still in the XEmbed tray"
echo nohost >&4
wait_until 10 icon_embedded || fail "host gone: the icon is not back in the XEmbed tray"
wait_until 5 alarm || fail "host gone: the icon is not the red badge ($red red, $light light pixels)"
icon_cx=$((icon_x + 11)) icon_cy=$((icon_y + 11))

# quit_from_menu [SCREENSHOT]: right click, "Beenden" (the last entry), and the wait until the
# process has ended; sets quit_ms from the Return to the end.
quit_from_menu() {
    before=" $(visible_windows | paste -sd' ') "
    # Under CPU load Qt now and then closes the menu the moment it opens; a user would click
    # again.
    click_at "$icon_cx" "$icon_cy" 3
    wait_until 5 menu_up || { echo "NOTE: no menu after a right click, clicking again"
        click_at "$icon_cx" "$icon_cy" 3; wait_until 5 menu_up; } || fail "menu: none on right clicks"
    read -r mx my mw mh < <(geometry "$menu")
    wait_until 5 painted "$mx" "$my" "$mw" "$mh" || true
    if [ -n "${1:-}" ]; then
        crop $((mx - 10)) $((icon_y - 2)) $((mw + 20)) $((my - icon_y + mh + 12)) "$1"; fi
    xdotool key Up
    local start=${EPOCHREALTIME/./}
    xdotool key Return
    wait_until 10 app_gone || fail "quit: creditgauge still runs 10 s after Up, Return in its menu"
    wait "$app_pid" || fail "quit: creditgauge ended with status $?"
    quit_ms=$(((${EPOCHREALTIME/./} - start) / 1000)) app_pid=''
}
menu_up() { for menu in $(visible_windows); do [[ $before != *" $menu "* ]] &&
    xwininfo -id "$menu" 2> /dev/null | grep -q 'Redirect State: yes' && return 0; done; false; }

quit_from_menu "$artifacts/menu.png"
[ ! -s "$session/app.log" ] || fail "output: creditgauge (or Qt) wrote to stdout or stderr"
echo "PASS: icon embedded and red, panel below it, Escape, second start, to the watcher and" \
    "back, menu, quit"

[ -n "${D:-}" ] || { echo "NOTE: not root: no run with a key over HTTPS"; exit 0; }
# The key as the README stores it (printf: a here-string would store its line feed too); the
# balance from the provider's real host name.
export FAKE_PROVIDER_EXPECT_KEY=sk-e2e-0123456789
printf %s "$FAKE_PROVIDER_EXPECT_KEY" | secret-tool store --label=creditgauge \
    xdg:schema org.qt.keychain server creditgauge user api-key type plaintext
balance='/user/balance=200:{"balance_infos":[{"currency":"USD","total_balance":"12.5"}]}'
fake_start server "$balance"
# Ten days of history as an earlier run of the program left it: spending of 1,00 a day, a
# top-up in the middle. The panel then shows the month's curve and the forecast.
/usr/bin/python3 - "$XDG_DATA_HOME/creditgauge/history.sqlite" <<'PY'
import os, sqlite3, sys, time
os.makedirs(os.path.dirname(sys.argv[1]), exist_ok=True)
db = sqlite3.connect(sys.argv[1])
db.executescript("""PRAGMA journal_mode=WAL;
CREATE TABLE balances (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, provider TEXT NOT NULL,
  currency TEXT NOT NULL, total REAL NOT NULL, details TEXT NOT NULL);
CREATE INDEX balances_by_provider ON balances(provider, at);
CREATE TABLE flags (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
PRAGMA user_version=1;""")
now = int(time.time() * 1000)
for day in range(10, 0, -1):
    total = 12.5 + day - (8 if day > 5 else 0)
    db.execute("INSERT INTO balances (at, provider, currency, total, details) VALUES (?, 'deepseek', 'USD', ?, '[]')",
               (now - day * 86400000, total))
db.commit()
PY
"$app" > "$session/app.log" 2>&1 < /dev/null & app_pid=$!
wait_until 15 eval 'icon_embedded || app_gone' && icon_embedded || fail "key: no icon"
# The balance, once asked for: the dark badge, not the red alarm one.
wait_until 15 test -s "$D/requests.log" || fail "key: no request"
sleep 0.5
balance() { dark=$(count 'r<=0.25&&g<=0.25&&b<=0.25') red=$(count 'r>=0.63&&g<=0.35&&b<=0.35')
    [ "$dark" -ge 150 ] && [ "$red" -eq 0 ]; }
wait_until 10 balance ||
    fail "key: no balance badge ($dark dark, $red red pixels); requests: $(cat "$D/requests.log")"
grep -qx 'GET /user/balance accept=application/json ua=CreditGauge/1.0.1 auth=ok' \
    "$D/requests.log" || fail "key: the request was not as expected: $(cat "$D/requests.log")"
crop "$icon_x" "$icon_y" 22 22 -filter point -resize 800% "$artifacts/tray-balance-zoom.png"
# The panel with the history: the curve and the forecast line below the time make it taller
# than the one without a balance above.
title="Alles in Ordnung."
no_key_height=$ph
click_at "$icon_cx" "$icon_cy" 1
wait_until 10 panel_up || fail "history: no panel after a left click"
read -r px py pw ph < <(geometry "$panel")
wait_until 5 painted "$px" "$py" "$pw" "$ph" || true
crop $((px - 10)) $((icon_y - 2)) $((pw + 20)) $((py - icon_y + ph + 12)) "$artifacts/panel-history.png"
((ph >= no_key_height + 60)) || fail "history: panel ${ph} px high, without the curve and forecast?"
xdotool key Escape
wait_until 5 eval "! viewable $panel" || fail "history: panel still visible after Escape"
# A text bar's click signals every process of the name: the tray asks again and lives on.
asked() { grep -c /user/balance "$D/requests.log"; }
before=$(asked)
kill -USR1 "$app_pid"
wait_until 10 eval '[ "$(asked)" -gt "$before" ]' || fail "SIGUSR1: no new request"
kill -0 "$app_pid" 2>/dev/null || fail "SIGUSR1 ended the tray"
# A burst of them (clicks on a bar, a script gone wild) while the provider takes its time costs
# two requests: the one under way and one after it. (Fewer, never more, come in the seconds
# given to them.)
fake_stop
fake_start server --delay 1500 "$balance"
for _ in $(seq 1 1000); do kill -USR1 "$app_pid"; done
wait_until 15 eval '[ "$(asked)" -ge 2 ]' || fail "SIGUSR1 burst: $(asked) requests, not two"
sleep 2
[ "$(asked)" -eq 2 ] || fail "SIGUSR1 burst: $(asked) requests for 1000 signals"
# A TLS connection is open now; quitting closes it at once and without a word on stderr.
quit_from_menu
fake_stop
[ ! -s "$session/app.log" ] || fail "key: creditgauge (or Qt) wrote: $(cat "$session/app.log")"
((quit_ms < 1000)) || fail "key: quitting took $quit_ms ms"
echo "PASS: with a key, the balance over HTTPS, SIGUSR1 refreshes, and quitting in $quit_ms ms, silent"
