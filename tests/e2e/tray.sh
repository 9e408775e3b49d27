#!/usr/bin/env bash
# End to end, the real program in one HOST's tray: trayer (XEmbed, beside a watcher with no host
# yet), the Xfce panel (started after the program), waybar on headless sway, LXQt's or Plasma's
# panel (at the bottom). No key: the red badge, the panel next to the item, its ways to close, a
# second start; as root, a key: the balance over HTTPS after SIGUSR1. Beenden ends it. Silent.
# Usage: tray.sh trayer|xfce|sway|lxqt|kde CREDITGAUGE FAKE_PROVIDER FAKE_DBUS_SERVICE ARTIFACTS_DIR.
# shellcheck disable=SC2015 # every "A && B || fail" means to fail unless both hold
# shellcheck disable=SC2016 # what wait_until eval expands when it runs
set -euo pipefail
# shellcheck source=hosts-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/hosts-lib.sh"
require_tools convert import secret-tool jq
host_session --netns --optional "${BASH_SOURCE[0]}" "$@"
export CG_HOST=$1 QT_QPA_PLATFORM=xcb
app=$2 FAKE_PROVIDER=$3 artifacts=$5
mkdir -p "$artifacts"
strip=1440x28+0+0 menus=1440x872+0+28 # where the panel runs, where menus open
case $CG_HOST in
trayer) start_trayer
    start_watcher "$4" ready ;;
xfce) start_xfce ;;
lxqt) start_lxqt; strip=1440x32+0+868 menus=1440x868+0+0 ;;
kde) start_kde; strip=1440x44+0+856 menus=1440x856+0+0 ;;
sway) compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null ||
        skip "Qt's Wayland platform (qt6-wayland) is not installed"
    start_sway
    QT_QPA_PLATFORM=wayland ;;
*) echo "$0: no host '$CG_HOST'" >&2; exit 2 ;;
esac
[ -z "${D:-}" ] || { FAKE_PROVIDER_EXPECT_KEY=sk-e2e-0123456789 fake_start server \
    '/user/balance=200:{"balance_infos":[{"currency":"USD","total_balance":"5.50"}]}'
    PIDS+=("$FAKE_PID"); }
spawn creditgauge "$app"
app_pid=$!
if [ "$CG_HOST" = xfce ]; then # once the program waits for a tray
    wait_until 10 test -e "$XDG_RUNTIME_DIR/creditgauge.lock" || fail "start: no instance lock"
    start_xfce_panel
fi
[ "$CG_HOST" = trayer ] || wait_until 20 registered "$app_pid" || fail "item: not registered"

# The item along the top (ix iy iw ih): the red alarm badge or a balance's dark one, light figure.
alarm() { shot && box $strip '#a8001f' && [ "$(pixels "${bw}x$bh+$bx+$by" white)" -ge 4 ] &&
    ix=$bx iy=$by iw=$bw ih=$bh icon_x=$((bx + bw / 2)) icon_y=$((by + bh / 2)); }
balance() { shot && [ "$(pixels "${iw}x$ih+$ix+$iy" '#a8001f')" -eq 0 ] &&
    [ "$(pixels "${iw}x$ih+$ix+$iy" '#2b2b2b')" -ge $((iw * ih / 4)) ] &&
    [ "$(pixels "${iw}x$ih+$ix+$iy" white)" -ge 4 ]; }
wait_until 20 alarm || fail "item: no red badge"
# waybar and Xfce draw the badge from the item's own icon theme, pixel for pixel: the middle of
# the badge on screen is the middle of its 22-px picture (a scaled pixmap blurs the figure's edges).
if [[ $CG_HOST == @(sway|xfce) ]]; then
    exact() { png=$(find "$XDG_RUNTIME_DIR/creditgauge-icons" -path '*22x22*' | sort -V | tail -1)
        shot && convert "$png" -crop 12x12+5+5 "$SESSION/drawn.png" &&
            convert "$SESSION/shot.png" -crop 12x12+$((bx + 4))+$((by + 4)) "$SESSION/shown.png" &&
            [ "$(compare -metric AE "$SESSION/drawn.png" "$SESSION/shown.png" null: 2>&1)" = 0 ]; }
    wait_until 10 exact || fail "$CG_HOST: the badge is not drawn pixel for pixel"
fi
if [ "$CG_HOST" = trayer ]; then # a host comes: the item goes to the watcher; and back
    echo host >&4
    wait_until 10 registered "$app_pid" || fail "host: the item did not register with the watcher"
    wait_until 10 eval '! alarm' || fail "host: the icon is still in the XEmbed tray"
    echo nohost >&4
    wait_until 10 alarm || fail "host gone: no badge back in the tray"
fi

# panel_at TITLE: a window whose title starts with TITLE is shown, at px py (pw x ph).
panel_at() {
    if [ "$CG_HOST" = sway ]; then
        read -r px py pw ph < <(swaymsg -t get_tree | jq -r --arg t "$1" '.. | objects |
            select(.app_id? == "io.github.creditgauge.CreditGauge" and .visible and (.name | startswith($t))) |
            .rect | "\(.x) \(.y) \(.width) \(.height)"')
    else
        eval "$(xdotool search --onlyvisible --name "^$1" getwindowgeometry --shell 2>/dev/null)" &&
            [ -n "${WINDOW:-}" ] && px=$X py=$Y pw=$WIDTH ph=$HEIGHT && unset WINDOW
    fi
}
# open_panel TITLE HOW: HOW opens the panel titled TITLE, next to the item: below it, above it
# on a panel along the bottom (where sway puts it a moment after it shows).
open_panel() {
    title=$1 px=''
    next_to() { panel_at "$title" && ((px <= icon_x && px + pw > icon_x && px + pw <= 1440)) &&
        if ((iy > 450)); then ((py + ph <= iy && py + ph >= iy - 40)); else ((py >= iy + ih && py <= 40)); fi; }
    wait_until 10 next_to ||
        fail "panel: '$title' ${px:+at ${pw}x$ph+$px+$py, not next to the item}${px:-not open} after $2"
}
closed() { wait_until 5 eval '! panel_at "$title"' || fail "panel: still open after $1"; }

no_key="Kein API-Key für DeepSeek hinterlegt."
click "$icon_x" "$icon_y"
open_panel "$no_key" "a left click"
shot "$CG_HOST-panel"
escape
closed Escape
for close in "click 700 500" "click $icon_x $icon_y"; do # elsewhere, on the item
    # A click on the item within 300 ms of the panel closing by a click elsewhere (on Wayland,
    # any click) is taken for that closing click: a person's next click comes later.
    sleep 0.4
    click "$icon_x" "$icon_y"
    open_panel "$no_key" "another left click"
    # Two presses on one spot within GTK's double-click time (400 ms) make a double click, which
    # waybar passes on as one more activation: a person closing the panel clicks later.
    sleep 0.5
    $close
    closed "$close"
done
# A second start asks the running one over the session bus to show its panel, and leaves.
timeout 10 "$app" &>"$SESSION/second.log" </dev/null || fail "second start: status $? (124: hung)"
[ ! -s "$SESSION/second.log" ] || fail "second start: wrote $(cat "$SESSION/second.log")"
open_panel "$no_key" "a second start"
escape
closed "Escape after a second start"

if [ -n "${D:-}" ]; then
    asked() { grep -c 'GET /user/balance .* auth=ok$' "$D/requests.log"; }
    [ ! -s "$D/requests.log" ] || fail "no key: yet a request: $(cat "$D/requests.log")"
    store_key sk-e2e-0123456789
    # SIGUSR1 (a text bar's click) asks again, now with the key. A key read the second start
    # began may still find the key first and ask too; the signal then adds one more query.
    kill -USR1 "$app_pid"
    # The pointer leaves the item: Plasma lightens the item under it, sway draws it in the shot.
    [ "$CG_HOST" = sway ] && swaymsg -q "seat seat0 cursor set 700 500" || xdotool mousemove 700 500
    wait_until 15 balance || fail "key: no balance badge; requests: $(cat "$D/requests.log")"
    [ "$(asked)" -ge 1 ] || fail "key: no request with the key: $(cat "$D/requests.log")"
fi

# Beenden, the last row of the menu, a white box (Qt's own on trayer, else the host's from the
# exported one, whole at once with the panel's lines): the program ends, a TLS connection open.
min=$([ "$CG_HOST" = trayer ] && echo 100 || echo 200)
click "$icon_x" "$icon_y" 3
wait_until 5 eval 'shot "$CG_HOST-menu" && box $menus white 5% && ((bh > min))' ||
    fail "menu: none over $min px high on a right click"
click $((bx + bw / 2)) $((by + bh - 14))
wait_until 10 eval '! kill -0 $app_pid 2>/dev/null' || fail "quit: still running after Beenden"
wait "$app_pid" || fail "quit: ended with status $?"
[ ! -s "$SESSION/log/creditgauge.log" ] || fail "output: creditgauge wrote to stdout or stderr"
echo "PASS $CG_HOST"
