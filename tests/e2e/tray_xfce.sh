#!/usr/bin/env bash
# End to end under the Xfce panel (X11): the real program registers its StatusNotifierItem with
# the panel's notification area; the first right click shows our menu (not the panel's own),
# in which the user switches providers and quits; a left click opens the panel below the item,
# which a screen reader can read and the keyboard can walk, and which closes on Escape, on a
# click elsewhere and on a second click on the item. No key is stored: nothing is sent.
# Usage: tray_xfce.sh CREDITGAUGE ARTIFACTS_DIR. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=hosts-lib.sh
source "$here/hosts-lib.sh"

if [ "${CG_HOST_SESSION:-}" != 1 ]; then
    [ $# -eq 2 ] && [ -x "$1" ] || { echo "usage: $0 CREDITGAUGE ARTIFACTS_DIR" >&2; exit 2; }
    require_tools Xvfb xfce4-panel xfwm4 xdotool xwininfo import convert gnome-keyring-daemon \
        dbus-run-session dbus-send /usr/bin/python3
    /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
        { echo "SKIP: no AT-SPI for Python (gir1.2-atspi-2.0)"; exit 77; }
    mkdir -p "$2"
    host_session "${BASH_SOURCE[0]}" "$(readlink -f "$1")" "$(cd "$2" && pwd)"
fi
app=$1 artifacts=$2
host_session
start_xfce

# Started before the panel, as at a login: it waits for the panel and still becomes its
# StatusNotifierItem, although the panel claims the older XEmbed tray first.
# Screen readers ask over AT-SPI; Qt answers once it is told one listens.
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$app" >"$SESSION/log/creditgauge.log" 2>&1 </dev/null &
app_pid=$!
PIDS+=("$app_pid")
sleep 0.5
start_xfce_panel
app_gone() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_until 20 registered "$app_pid" || fail "item: not registered with the Xfce panel"

shot() { import -window root "$SESSION/shot.png"; }
# The red alarm badge (no key stored) in the panel along the top.
badge() { shot && read -r ix iy iw ih < <(red_box "$SESSION/shot.png" 0 0 1440 28); }
wait_until 10 badge || fail "item: no red badge in the panel"
icon_x=$((ix + iw / 2)) icon_y=$((iy + ih / 2))
convert "$SESSION/shot.png" -crop 200x28+0+0 +repage "$artifacts/xfce-bar.png"

# xdotool's --sync waits for the pointer to move, which it never does when it is there already.
click() { [ "$(xdotool getmouselocation | cut -d' ' -f1-2)" = "x:$1 y:$2" ] ||
    xdotool mousemove --sync "$1" "$2"; xdotool click "$3"; }
windows() { xdotool search --onlyvisible --class '^creditgauge$' 2>/dev/null || true; }

# Our menu on the first right click, complete: the provider submenu, its radio items.
click "$icon_x" "$icon_y" 3
sleep 1
shot && convert "$SESSION/shot.png" -crop 460x330+0+0 +repage "$artifacts/xfce-menu.png"
# Down skips the panel's lines atop the menu (disabled): Aktualisieren, Anbieter, its first
# item, then down to Moonshot.
xdotool key --delay 150 Down Down Right Down Down Return
wait_until 5 grep -qx 'provider=moonshot' "$XDG_CONFIG_HOME/creditgauge/creditgauge.conf" ||
    fail "menu: picking Moonshot did not store it"

# The panel below the item, readable by a screen reader, walked with Tab.
panel_up() { for panel in $(windows); do return 0; done; false; }
click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open after a left click"
read -r px py pw ph < <(xwininfo -id "$panel" |
    awk '/Absolute.*X:/ {x=$4} /Absolute.*Y:/ {y=$4} /Width:/ {w=$2} /Height:/ {h=$2} END {print x, y, w, h}')
((py >= 28 && py <= 40 && px <= icon_x && px + pw > icon_x && px >= 0 && px + pw <= 1440)) ||
    fail "panel: at ${pw}x$ph+$px+$py, not below the item at $icon_x,$icon_y"
sleep 0.5
shot && convert "$SESSION/shot.png" -crop "$((pw + 20))x$((ph + 40))+0+0" +repage "$artifacts/xfce-panel.png"
tree=$(wait_until 10 /usr/bin/python3 "$here/atspi_tree.py" creditgauge >/dev/null;
    /usr/bin/python3 "$here/atspi_tree.py" creditgauge || true)
for node in 'label: Moonshot-Guthaben' 'label: Kein API-Key für Moonshot hinterlegt.' \
    'push button: Aktualisieren' 'push button: Anbieter…' 'push button: Key…'; do
    grep -qF "$node" <<<"$tree" || fail "a11y: no '$node' in the tree:"$'\n'"$tree"
done
xdotool key Tab Tab
focused=$(/usr/bin/python3 "$here/atspi_tree.py" creditgauge --focus || true)
[ "$focused" = 'push button: Anbieter…' ] || fail "a11y: after Tab, Tab the focus is on '$focused'"
xdotool key Escape
wait_until 5 eval '! panel_up' || fail "panel: still open after Escape"

click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open again"
click 700 500 1
wait_until 5 eval '! panel_up' || fail "panel: still open after a click elsewhere"
click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open a third time"
click "$icon_x" "$icon_y" 1
wait_until 5 eval '! panel_up' || fail "panel: still open after a second click on the item"

# Quitting from the menu: Beenden is the last item.
click "$icon_x" "$icon_y" 3
sleep 1
xdotool key Up Return
wait_until 10 app_gone || fail "quit: creditgauge still runs after Beenden"
wait "$app_pid" || fail "quit: creditgauge ended with status $?"
[ ! -s "$SESSION/log/creditgauge.log" ] ||
    fail "output: creditgauge wrote $(cat "$SESSION/log/creditgauge.log")"
echo "PASS: registered, our menu on the first right click, provider switched, panel below" \
    "the item, read over AT-SPI, Tab, Escape, click elsewhere, second click, quit"
