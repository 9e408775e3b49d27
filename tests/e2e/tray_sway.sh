#!/usr/bin/env bash
# End to end under waybar on headless sway (native Wayland): the real program registers its
# StatusNotifierItem with waybar's tray; the first right click shows the whole menu; a left
# click opens the panel below the item, which closes on Escape, on a click elsewhere and on a
# second click on the item; its provider button switches providers; Beenden in the menu quits.
# Input through sway's own seat commands and wtype, screenshots with grim.
# Usage: tray_sway.sh CREDITGAUGE ARTIFACTS_DIR. Exits 77 when a tool is missing.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=hosts-lib.sh
source "$here/hosts-lib.sh"

if [ "${CG_HOST_SESSION:-}" != 1 ]; then
    [ $# -eq 2 ] && [ -x "$1" ] || { echo "usage: $0 CREDITGAUGE ARTIFACTS_DIR" >&2; exit 2; }
    require_tools sway swaymsg waybar wayvnc grim wtype convert gnome-keyring-daemon \
        dbus-run-session dbus-send
    [ "$(id -u)" -ne 0 ] || unshare --user --map-user=1000 --map-group=1000 true 2>/dev/null ||
        { echo "SKIP: as root, sway needs a user namespace, which is not allowed here"; exit 77; }
    ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
        { echo "SKIP: Qt's Wayland platform (qt6-wayland) is not installed"; exit 77; }
    mkdir -p "$2"
    host_session "${BASH_SOURCE[0]}" "$(readlink -f "$1")" "$(cd "$2" && pwd)"
fi
app=$1 artifacts=$2
host_session
start_sway

QT_QPA_PLATFORM=wayland "$app" >"$SESSION/log/creditgauge.log" 2>&1 </dev/null &
app_pid=$!
PIDS+=("$app_pid")
app_gone() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_until 20 registered "$app_pid" || fail "item: not registered with waybar"

shot() { grim "$SESSION/shot.png"; }
# The red alarm badge (no key stored) in waybar along the top.
badge() { shot && read -r ix iy iw ih < <(red_box "$SESSION/shot.png" 0 0 1440 28); }
wait_until 10 badge || fail "item: no red badge in the bar"
icon_x=$((ix + iw / 2)) icon_y=$((iy + ih / 2))
convert "$SESSION/shot.png" -crop 240x28+1200+0 +repage "$artifacts/sway-bar.png"

# The pointer arrives first, and a moment later the press, as with a hand on the mouse.
click() {
    swaymsg -q "seat seat0 cursor set $1 $2"
    sleep 0.2
    swaymsg -q "seat seat0 cursor press button$3"
    swaymsg -q "seat seat0 cursor release button$3"
}
# waybar's menu: the light box below the bar. Its rows are ours: 13 of them, over 200 px.
menu_box() {
    shot || return
    local box
    box=$(convert "$SESSION/shot.png" -crop 1440x872+0+28 +repage -fuzz 4% -fill white \
        -opaque '#ffffff' -fill black +opaque white -trim \
        -format '%[fx:page.x] %[fx:page.y+28] %w %h' info:)
    read -r mx my mw mh <<<"$box" && [ "$mh" -gt 200 ]
}
# Our panel in sway's tree: "x y w h".
panel() { swaymsg -t get_tree | /usr/bin/python3 -c '
import json, sys
def walk(n):
    if n.get("app_id") == "creditgauge" and n.get("visible"):
        r = n["rect"]; print(r["x"], r["y"], r["width"], r["height"]); return True
    return any(walk(c) for c in n.get("nodes", []) + n.get("floating_nodes", []))
sys.exit(0 if walk(json.load(sys.stdin)) else 1)'; }
panel_up() { panel >/dev/null; }

# The whole menu on the first right click, once waybar has drawn the item and asked for it.
sleep 1
click "$icon_x" "$icon_y" 3
wait_until 5 menu_box || fail "menu: no menu of ours after the first right click"
convert "$SESSION/shot.png" -crop 620x300+820+0 +repage "$artifacts/sway-menu.png"
click 300 600 1
sleep 0.5

# The panel, below the item.
click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open after a left click"
sleep 0.5
read -r px py pw ph < <(panel)
((py >= 28 && py <= 40 && px <= icon_x && px + pw > icon_x && px + pw <= 1440)) ||
    fail "panel: at ${pw}x$ph+$px+$py, not below the item at $icon_x,$icon_y"
shot && convert "$SESSION/shot.png" -crop 620x300+820+0 +repage "$artifacts/sway-panel.png"
wtype -k Escape
wait_until 5 eval '! panel_up' || fail "panel: still open after Escape"

click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open again"
click 300 600 1
wait_until 5 eval '! panel_up' || fail "panel: still open after a click elsewhere"
sleep 0.5
click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open a third time"
sleep 0.5
click "$icon_x" "$icon_y" 1
wait_until 5 eval '! panel_up' || fail "panel: still open after a second click on the item"

# The provider button opens the menu inside the panel: Aktualisieren, Anbieter, into its
# submenu, down to Moonshot.
sleep 0.5
click "$icon_x" "$icon_y" 1
wait_until 10 panel_up || fail "panel: not open for the provider button"
sleep 0.5
read -r px py pw ph < <(panel)
click $((px + pw / 2)) $((py + ph - 22)) 1
sleep 1
wtype -d 150 -k Down -k Down -k Right -k Down -k Down -k Return
wait_until 5 grep -qx 'provider=moonshot' "$XDG_CONFIG_HOME/creditgauge/creditgauge.conf" ||
    fail "provider button: picking Moonshot did not store it"
wtype -k Escape
wait_until 5 eval '! panel_up' || fail "panel: still open after Escape"

# Quitting from waybar's menu: Beenden is its last row.
click "$icon_x" "$icon_y" 3
wait_until 5 menu_box || fail "menu: no menu for quitting"
click $((mx + mw / 2)) $((my + mh - 14)) 1
wait_until 10 app_gone || fail "quit: creditgauge still runs after Beenden"
wait "$app_pid" || fail "quit: creditgauge ended with status $?"
[ ! -s "$SESSION/log/creditgauge.log" ] ||
    fail "output: creditgauge wrote $(cat "$SESSION/log/creditgauge.log")"
echo "PASS: registered, the whole menu on the first right click, panel below the item," \
    "Escape, click elsewhere, second click, provider button, quit"
