#!/usr/bin/env bash
# Runs a command (the test suite) inside a private session: a temporary HOME and XDG
# directories, a private D-Bus session bus with gnome-keyring's secret service, unlocked, and a
# private bus in place of the system bus, and an X server (Xvfb) for the widget tests.
# Nothing of the user's own session, keyring or settings is touched.
#
# DISPLAY is unset for the keyring: a locked keyring with a display would pop up a prompt and
# wait forever.
set -euo pipefail

if [ "${CREDITGAUGE_IN_TEST_SESSION:-}" != 1 ]; then
    session=$(mktemp -d -t creditgauge-session.XXXXXX)
    trap 'rm -rf "$session"' EXIT
    mkdir -p "$session/home" "$session/config" "$session/data" "$session/cache" "$session/runtime"
    chmod 700 "$session/runtime"
    export HOME="$session/home" XDG_CONFIG_HOME="$session/config" XDG_DATA_HOME="$session/data"
    export XDG_CACHE_HOME="$session/cache" XDG_RUNTIME_DIR="$session/runtime"
    export CREDITGAUGE_IN_TEST_SESSION=1
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    # A bus that starts no services on demand: what the machine has installed (a desktop's
    # notification daemon, its portals) would otherwise come up on the tests' bus and answer
    # calls meant for a stand-in of one test while another test waits for that name.
    status=0
    dbus-run-session --config-file="$(dirname "${BASH_SOURCE[0]}")/../tests/support/dbus-no-services.conf" \
        -- bash "${BASH_SOURCE[0]}" "$@" || status=$?
    exit "$status"
fi

# Inside the private bus now. A second private bus stands in for the system bus, so tests can
# play logind's sleep and wake signals without touching the machine's own.
system_bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 | head -n 2)
export DBUS_SYSTEM_BUS_ADDRESS=$(echo "$system_bus" | head -n 1)
system_bus_pid=$(echo "$system_bus" | tail -n 1)

echo -n creditgauge-test | gnome-keyring-daemon --unlock --components=secrets >/dev/null
# The daemon owns its bus name a moment after it returns; without this wait the bus could
# start a second one on the first request.
for _ in $(seq 1 200); do
    if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q true; then
        break
    fi
    sleep 0.05
done

# A real X server for the widget tests, started only now: the keyring above runs without a
# display, so it can never pop up an unlock prompt that waits forever.
displayfile="$XDG_RUNTIME_DIR/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
    [ -s "$displayfile" ] && break
    sleep 0.05
done
export DISPLAY=":$(head -n 1 "$displayfile")"
trap 'kill "$system_bus_pid" "$xvfb_pid" 2>/dev/null || true' EXIT

"$@"
