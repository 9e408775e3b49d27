# shellcheck shell=bash disable=SC2015 # "A && B || C" below means "unless both A and B"
# For the end-to-end tests and benchmarks of the real program under a real host: a private
# session, the hosts (77 when their tools are missing), the means to look at and drive them.
# shellcheck source=netns-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"

# host_session [--netns [--optional]] SCRIPT ARGS...: re-runs SCRIPT (in private namespaces if
# asked) in a session of its own: home and XDG folders, a D-Bus session with an unlocked, empty
# keyring, a stand-in system bus; inside, sets that up. Whatever is in PIDS ends with the script.
host_session() {
    if [ "${CG_HOST_SESSION:-}" != 1 ] && [ $# -gt 0 ]; then
        # The namespaces' folder goes with the session only when the session made it.
        local own_d=
        [ "$1" != --netns ] || { shift; netns_enter "$@"; export D; own_d=$D; }
        [ "$1" != --optional ] || shift
        require_tools dbus-run-session dbus-daemon dbus-send gnome-keyring-daemon
        local session
        session=$(mktemp -d /tmp/cg-host.XXXXXX)
        mkdir -p "$session"/{home,config,data,cache,runtime,log} && chmod 700 "$session/runtime"
        # waybar's document portal mounts itself in the runtime folder and outlives the bus a
        # moment; what the bus started may wait a minute for a name: all end with the session.
        # shellcheck disable=SC2064 # the paths are fixed now
        trap "{ fusermount3 -uz '$session/runtime/doc' || umount -l '$session/runtime/doc'
            end_pids \$(grep -lzx SESSION='$session' /proc/[0-9]*/environ | tr -dc '0-9\n')
            rm -rf '$session' ${own_d:+'$own_d'}; } 2>/dev/null || true" EXIT
        trap 'exit 143' TERM INT HUP
        export HOME=$session/home XDG_CONFIG_HOME=$session/config XDG_DATA_HOME=$session/data \
            XDG_CACHE_HOME=$session/cache XDG_RUNTIME_DIR=$session/runtime SESSION=$session
        export LC_ALL=C.UTF-8 CG_HOST_SESSION=1
        unset DISPLAY WAYLAND_DISPLAY SWAYSOCK DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM \
            XDG_CURRENT_DESKTOP XDG_SESSION_TYPE
        dbus-run-session -- bash "$@" || exit
        exit 0
    fi
    PIDS=()
    trap 'end_pids "${PIDS[@]}"; wait 2>/dev/null; true' EXIT
    trap 'exit 143' TERM INT HUP
    # A private bus in place of the system bus: no wake or network signals from the machine.
    local system_bus
    system_bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    export DBUS_SYSTEM_BUS_ADDRESS=${system_bus%%$'\n'*}
    PIDS+=("${system_bus##*$'\n'}")
    # Started without a display: with one, a locked keyring could prompt and wait forever.
    echo -n creditgauge-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    wait_until 15 name_owned org.freedesktop.secrets || fail "setup: no keyring"
    PIDS+=("$(name_pid org.freedesktop.secrets)")
}

# end_pids PID...: ends them, the hard way for those still there after 5 seconds. A host whose
# display or bus went first can hang on its way out, and whatever holds the test's output keeps
# ctest waiting until it gives up.
end_pids() {
    [ $# -gt 0 ] || return 0
    kill "$@" 2>/dev/null
    wait_until 5 none_left "$@" && return 0
    echo "teardown: still there after 5 s, killed:" "$(ps -o comm= -p "$(IFS=,; echo "$*")")" >&2
    kill -9 "$@" 2>/dev/null || true
}

none_left() { local p; for p; do ! kill -0 "$p" 2>/dev/null || return 1; done; }

# spawn NAME COMMAND...: COMMAND in the background, its output in log/NAME.log.
spawn() { local log=$SESSION/log/$1.log; shift; "$@" >"$log" 2>&1 </dev/null & PIDS+=($!); }

# fail MESSAGE: says so, keeps a screenshot, shows the hosts' logs and the program's, exits 1.
fail() {
    echo "FAIL: $*"
    [ -z "${artifacts:-}" ] || [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] ||
        shot "failed-${CG_HOST:-$(basename "$0" .sh)}" 2>/dev/null || true
    local f
    for f in "$SESSION"/log/*.log; do [[ $f == */creditgauge.log ]] || tail -v -n 20 "$f"; done
    tail -v -n +1 "$SESSION/log/creditgauge.log" 2>/dev/null
    exit 1
}

# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; false on time-out.
wait_until() {
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    until "$@"; do [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1; sleep 0.1; done
}

bus_call() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        "org.freedesktop.DBus.$1" "string:$2" 2>/dev/null
}
name_owned() { bus_call NameHasOwner "$1" | grep -q 'boolean true'; }
name_pid() { bus_call GetConnectionUnixProcessID "$1" | awk '/uint32/ { print $2 }'; }
# registered PID: the StatusNotifierWatcher lists an item of that process (by the bus name it
# registered with, well-known or unique, then in $item).
registered() {
    for item in $(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
        /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
        string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems 2>/dev/null |
        sed -n 's/^ *string "\([^"/@]*\).*"$/\1/p'); do
        [ "$(name_pid "$item")" = "$1" ] && return 0
    done
    false
}

# start_watcher FAKE_DBUS_SERVICE ready|host: a stand-in StatusNotifierWatcher, with a host
# from the start or none yet; lines to fd 4 ("host", "nohost") make one come and go.
start_watcher() {
    mkfifo "$SESSION/watcher.in"
    "$1" status-notifier-watcher <"$SESSION/watcher.in" >"$SESSION/log/watcher.log" 2>&1 &
    PIDS+=($!)
    exec 4>"$SESSION/watcher.in"
    [ "$2" = ready ] || echo "$2" >&4
    wait_until 10 grep -qx "$2" "$SESSION/log/watcher.log" || fail "setup: no stand-in watcher"
}

# Without -noreset the server resets whenever its last client leaves, dropping one arriving.
start_xvfb() {
    require_tools Xvfb xdotool xwininfo
    spawn xvfb Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp -noreset 3>"$SESSION/display"
    wait_until 15 test -s "$SESSION/display" || fail "setup: Xvfb did not start"
    DISPLAY=":$(head -n 1 "$SESSION/display")"
    export DISPLAY XDG_SESSION_TYPE=x11
}

# trayer, an XEmbed tray only, at the top right.
start_trayer() {
    require_tools trayer
    start_xvfb
    spawn trayer trayer --edge top --align right --widthtype request --height 24 \
        --SetDockType true --SetPartialStrut true
    tray_window() { TRAY=$(xdotool search --onlyvisible --name '^panel$' 2>/dev/null | head -n 1)
        [ -n "$TRAY" ]; }
    wait_until 15 tray_window || fail "setup: trayer's panel never appeared"
}

# Xfce's panel along the top, only its notification area (StatusNotifierItems, XEmbed), under
# xfwm4; start_xfce_panel brings it, as a session may after the applications it autostarts.
start_xfce() {
    require_tools xfce4-panel xfwm4
    export XDG_CURRENT_DESKTOP=XFCE
    start_xvfb
    local xml=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
    mkdir -p "$xml"
    cat >"$xml/xfce4-panel.xml" <<'EOF'
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
<property name="panels" type="array"><value type="int" value="1"/>
<property name="panel-1" type="empty"><property name="position" type="string" value="p=6;x=0;y=0"/>
<property name="length" type="uint" value="100"/><property name="size" type="uint" value="28"/>
<property name="position-locked" type="bool" value="true"/>
<property name="plugin-ids" type="array"><value type="int" value="1"/></property></property></property>
<property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray">
<property name="square-icons" type="bool" value="true"/></property></property></channel>
EOF
    spawn xfwm4 xfwm4 --compositor=off --sm-client-disable
}
start_xfce_panel() {
    spawn xfce4-panel xfce4-panel --sm-client-disable
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from Xfce"
}

# sway, headless, with waybar and its tray along the top. sway refuses to run as root: there it
# runs in a user namespace.
start_sway() {
    require_tools sway swaymsg waybar wayvnc grim wtype
    local sway=(sway)
    if [ "$(id -u)" -eq 0 ]; then
        sway=(unshare --user --map-user=1000 --map-group=1000 -- sway)
        "${sway[@]:0:4}" true 2>/dev/null || skip "sway needs a user namespace"
    fi
    export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway
    mkdir -p "$XDG_CONFIG_HOME/sway" "$XDG_CONFIG_HOME/waybar"
    printf '%s\n' 'output HEADLESS-1 resolution 1440x900 position 0 0 bg #2e3440 solid_color' \
        'xwayland disable' >"$XDG_CONFIG_HOME/sway/config"
    echo '{ "layer": "top", "position": "top", "height": 28, "modules-right": ["tray"],
        "tray": { "icon-size": 22 } }' >"$XDG_CONFIG_HOME/waybar/config"
    spawn sway env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        "${sway[@]}" -c "$XDG_CONFIG_HOME/sway/config"
    sway_up() {
        WAYLAND_DISPLAY=$(cd "$XDG_RUNTIME_DIR" && compgen -G 'wayland-[0-9]' | head -n 1)
        SWAYSOCK=$(compgen -G "$XDG_RUNTIME_DIR/sway-ipc.*.sock" | head -n 1)
        export WAYLAND_DISPLAY SWAYSOCK
        [ -n "$WAYLAND_DISPLAY" ] && [ -n "$SWAYSOCK" ] && swaymsg -t get_version >/dev/null 2>&1
    }
    wait_until 30 sway_up || fail "setup: sway did not start"
    dbus-update-activation-environment WAYLAND_DISPLAY SWAYSOCK XDG_SESSION_TYPE XDG_CURRENT_DESKTOP
    # Headless, the seat has no pointer; wayvnc brings a virtual one, which sway's own seat
    # commands then move and click (nobody connects to the VNC server itself).
    spawn wayvnc wayvnc --unix-socket --output=HEADLESS-1 "$SESSION/vnc.sock"
    spawn waybar waybar
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from waybar"
}

# LXQt's panel along the bottom with only its status notifier and tray at the right, under
# openbox; the panel holds the watcher.
start_lxqt() {
    require_tools lxqt-panel openbox
    export XDG_CURRENT_DESKTOP=LXQt XDG_CONFIG_DIRS=/etc:/etc/xdg:/usr/share
    start_xvfb
    mkdir -p "$XDG_CONFIG_HOME/lxqt"
    printf '%s\n' panels=panel1 '[panel1]' position=Bottom panelSize=32 iconSize=22 \
        plugins=statusnotifier,tray '[statusnotifier]' type=statusnotifier alignment=Right \
        '[tray]' type=tray alignment=Right >"$XDG_CONFIG_HOME/lxqt/panel.conf"
    spawn openbox openbox --sm-disable
    spawn lxqt-panel lxqt-panel
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from LXQt"
}

# Plasma's panel along the bottom, its system tray showing every item, under kwin; kded holds the
# watcher. Qt Quick in software, no animations, no KWallet (keys from the Secret Service).
start_kde() {
    require_tools kwin_x11 kded5 plasmashell
    export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
    start_xvfb
    # Services the bus starts (the activity manager, needed for a panel) need the display.
    dbus-update-activation-environment DISPLAY XDG_CURRENT_DESKTOP KDE_FULL_SESSION
    local c=$XDG_CONFIG_HOME
    printf '%s\n' '[Containments][1]' formfactor=2 location=4 lastScreen=0 plugin=org.kde.panel \
        '[Containments][1][Applets][2]' plugin=org.kde.plasma.panelspacer \
        '[Containments][1][Applets][3]' plugin=org.kde.plasma.systemtray \
        '[Containments][1][Applets][3][Configuration]' SystrayContainmentId=4 '[Containments][4]' \
        plugin=org.kde.plasma.private.systemtray '[Containments][4][General]' showAllItems=true \
        '[Containments][5]' activityId=cg lastScreen=0 plugin=org.kde.desktopcontainment \
        wallpaperplugin=org.kde.color '[Containments][5][Wallpaper][org.kde.color][General]' \
        Color=46,52,64 >"$c/plasma-org.kde.plasma.desktop-appletsrc"
    printf '%s\n' '[PlasmaViews][Panel 1][Defaults]' thickness=44 '[softwarerenderer]' \
        neverShow=true >"$c/plasmashellrc"
    printf '%s\n' '[KDE]' AnimationDurationFactor=0 '[QtQuickRendererSettings]' \
        SceneGraphBackend=software >"$c/kdeglobals"
    printf '%s\n' '[Compositing]' Enabled=false >"$c/kwinrc"
    printf '%s\n' '[activities]' cg=Default '[main]' currentActivity=cg >"$c/kactivitymanagerdrc"
    printf '%s\n' '[Wallet]' Enabled=false 'First Use=false' >"$c/kwalletrc"
    spawn kwin kwin_x11
    spawn kded kded5
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from kded"
    spawn plasmashell plasmashell --no-respawn
    panel_up() { xwininfo -root -tree | grep -q '("plasmashell" "plasmashell")  1440x44+.* +0+856$'; }
    wait_until 60 panel_up || fail "setup: Plasma's panel did not come"
}

# shot [NAME]: the screen in $SESSION/shot.png, and in the artifacts as NAME.png.
shot() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then grim "$SESSION/shot.png"
    else import -window root "$SESSION/shot.png"; fi && { [ -z "${1:-}" ] ||
        cp "$SESSION/shot.png" "$artifacts/$1.png"; }
}
# pixels WxH+X+Y COLOUR: how many pixels of that part of the last shot are (nearly) COLOUR.
pixels() { convert "$SESSION/shot.png" -crop "$1" +repage -fuzz 12% -fill black +opaque "$2" \
    -fill white -opaque "$2" -format '%[fx:int(mean*w*h+0.5)]' info:; }
# box WxH+X+Y COLOUR [FUZZ]: sets bx by bw bh to where that part of the last shot is COLOUR, on
# the screen; false when that is nothing bigger than 4x4.
box() {
    local at=${1#*+} found
    found=$(convert "$SESSION/shot.png" -crop "$1" +repage -fuzz "${3:-12%}" -fill black \
        +opaque "$2" -fill white +opaque black -trim \
        -format '%[fx:page.x] %[fx:page.y] %w %h' info: 2>/dev/null) &&
        read -r bx by bw bh <<<"$found" && ((bw > 4 && bh > 4)) &&
        bx=$((bx + ${at%+*})) by=$((by + ${at#*+}))
}

# click X Y [BUTTON]: the pointer there, then a click (the left one unless BUTTON).
click() {
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        # The pointer arrives first, and a moment later the press, as with a hand on the mouse.
        swaymsg -q "seat seat0 cursor set $1 $2" && sleep 0.2
        swaymsg -q "seat seat0 cursor press button${3:-1}"
        swaymsg -q "seat seat0 cursor release button${3:-1}"
    else
        # xdotool's --sync waits for the pointer to move, forever when it is there already.
        [ "$(xdotool getmouselocation | cut -d' ' -f1-2)" = "x:$1 y:$2" ] ||
            xdotool mousemove --sync "$1" "$2"
        xdotool click "${3:-1}"
    fi
}
# escape: the Escape key to the window that has the keyboard.
escape() { if [ -n "${WAYLAND_DISPLAY:-}" ]; then wtype -k Escape; else xdotool key Escape; fi; }

# store_key KEY [ACCOUNT]: the key in the keyring as the README stores it (DeepSeek's under
# api-key, the others' under api-key-PROVIDER); printf, as a here-string would add a line feed.
store_key() { printf %s "$1" | secret-tool store --label=creditgauge \
    xdg:schema org.qt.keychain server creditgauge user "${2:-api-key}" type plaintext; }
