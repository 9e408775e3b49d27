# shellcheck shell=bash disable=SC2015 # "A && B || C" below means "unless both A and B"
# Sourced by the end-to-end tests that run the real program under a real tray host: a private
# session (home and XDG folders, a D-Bus session with an unlocked, empty keyring, a stand-in
# system bus) and the hosts, started and looked at from the outside.
#
# host_session SCRIPT ARGS...: re-runs SCRIPT inside a private D-Bus session; once inside,
# sets up the session and returns. Everything started later ends with the script.

# require_tools TOOL...: exits 77 (skipped) unless every TOOL is on the PATH.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
    done
}

host_session() {
    if [ "${CG_HOST_SESSION:-}" != 1 ]; then
        local session
        session=$(mktemp -d /tmp/cg-host.XXXXXX)
        mkdir -p "$session"/{home,config,data,cache,runtime,log} && chmod 700 "$session/runtime"
        # GTK programs (waybar) bring up the document portal, which mounts itself in the
        # runtime folder and outlives the bus a moment.
        # shellcheck disable=SC2064 # the path is fixed now
        trap "{ fusermount3 -uz '$session/runtime/doc' || fusermount -uz '$session/runtime/doc' ||
            umount -l '$session/runtime/doc' || true; } 2>/dev/null; rm -rf '$session' 2>/dev/null || true" EXIT
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
    trap 'kill "${PIDS[@]}" 2>/dev/null; wait 2>/dev/null; true' EXIT
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

fail() {
    echo "FAIL: $*"
    [ -z "${artifacts:-}" ] || [ ! -f "$SESSION/shot.png" ] ||
        cp "$SESSION/shot.png" "$artifacts/failed-$(basename "$0" .sh).png"
    local f
    for f in "$SESSION"/log/*.log; do
        echo "---- $(basename "$f"):"
        # The program's own output is normally empty: all of it, sanitizer reports included.
        if [ "$(basename "$f")" = creditgauge.log ]; then cat "$f"; else tail -n 20 "$f"; fi
    done
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
# registered with, well-known or unique).
registered() {
    local item
    for item in $(dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
        /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
        string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems 2>/dev/null |
        sed -n 's/^ *string "\([^"/@]*\).*"$/\1/p'); do
        [ "$(name_pid "$item")" = "$1" ] && return 0
    done
    false
}

start_xvfb() {
    Xvfb -displayfd 3 -screen 0 1440x900x24 -nolisten tcp -noreset 3>"$SESSION/display" \
        >"$SESSION/log/xvfb.log" 2>&1 &
    PIDS+=($!)
    wait_until 15 test -s "$SESSION/display" || fail "setup: Xvfb did not start"
    DISPLAY=":$(head -n 1 "$SESSION/display")"
    export DISPLAY XDG_SESSION_TYPE=x11
}

# trayer, an XEmbed tray only, at the top right.
start_trayer() {
    start_xvfb
    trayer --edge top --align right --widthtype request --height 24 --SetDockType true \
        --SetPartialStrut true >"$SESSION/log/trayer.log" 2>&1 &
    PIDS+=($!)
    tray_window() { TRAY=$(xdotool search --onlyvisible --name '^panel$' 2>/dev/null | head -n 1)
        [ -n "$TRAY" ]; }
    wait_until 15 tray_window || fail "setup: trayer's panel never appeared"
}

# embedded CLASS: trayer holds an icon of that window class.
embedded() { xwininfo -tree -id "$TRAY" 2>/dev/null | grep -q "(\"$1\" "; }

# The Xfce panel along the top with nothing on it but its notification area, which hosts
# StatusNotifierItems (and XEmbed icons), under xfwm4.
start_xfce() {
    export XDG_CURRENT_DESKTOP=XFCE
    start_xvfb
    local xml=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
    mkdir -p "$xml"
    cat >"$xml/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="28"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
EOF
    cat >"$xml/xfwm4.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfwm4" version="1.0">
  <property name="general" type="empty">
    <property name="use_compositing" type="bool" value="false"/>
    <property name="workspace_count" type="int" value="1"/>
  </property>
</channel>
EOF
    xfwm4 --compositor=off --sm-client-disable >"$SESSION/log/xfwm4.log" 2>&1 &
    PIDS+=($!)
}

# The panel (with its systray) comes after the window manager, as in a session that
# autostarts applications before its panel is up.
start_xfce_panel() {
    xfce4-panel --sm-client-disable >"$SESSION/log/xfce4-panel.log" 2>&1 &
    PIDS+=($!)
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from Xfce"
}

# sway, headless, with waybar's tray along the top. sway refuses to run as root; as root it
# runs in a user namespace that maps root to an ordinary uid.
start_sway() {
    export XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=sway
    mkdir -p "$XDG_CONFIG_HOME/sway" "$XDG_CONFIG_HOME/waybar"
    cat >"$XDG_CONFIG_HOME/sway/config" <<'EOF'
output HEADLESS-1 resolution 1440x900 position 0 0 bg #2e3440 solid_color
xwayland disable
default_border normal
EOF
    # A test may bring a waybar config of its own; it needs the tray all the same.
    [ -s "$XDG_CONFIG_HOME/waybar/config" ] || cat >"$XDG_CONFIG_HOME/waybar/config" <<'EOF'
{ "layer": "top", "position": "top", "height": 28, "modules-left": ["sway/workspaces"],
  "modules-right": ["tray"], "tray": { "icon-size": 22, "spacing": 8 } }
EOF
    local sway=(sway -c "$XDG_CONFIG_HOME/sway/config")
    [ "$(id -u)" -ne 0 ] || sway=(unshare --user --map-user=1000 --map-group=1000 -- "${sway[@]}")
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        "${sway[@]}" >"$SESSION/log/sway.log" 2>&1 &
    PIDS+=($!)
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
    wayvnc --unix-socket --output=HEADLESS-1 "$SESSION/vnc.sock" >"$SESSION/log/wayvnc.log" 2>&1 &
    PIDS+=($!)
    waybar >"$SESSION/log/waybar.log" 2>&1 &
    PIDS+=($!)
    wait_until 30 name_owned org.kde.StatusNotifierWatcher || fail "setup: no watcher from waybar"
}

# red_box IMAGE X Y W H: the bounding box "x y w h" of the alarm red (the badge) inside the
# given part of IMAGE, in the image's coordinates; fails when there is none.
red_box() {
    local box
    box=$(convert "$1" -crop "$4x$5+$2+$3" +repage -fuzz 12% -fill black +opaque '#d32f2f' \
        -fill white +opaque black -trim -format '%[fx:page.x] %[fx:page.y] %w %h' info: 2>/dev/null)
    read -r bx by bw bh <<<"$box"
    [ -n "${bh:-}" ] && [ "$bw" -gt 4 ] && [ "$bh" -gt 4 ] || return 1
    echo "$((bx + $2)) $((by + $3)) $bw $bh"
}
