#!/usr/bin/env bash
# Installs the Debian packages CreditGauge needs to build, run and test.
# Idempotent: packages already present are left alone, apt is only asked when
# something is missing. Runs apt-get as root, through sudo otherwise.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
    qtkeychain-qt6-dev libsecret-1-0
    # run-time: TLS backend and certificates, native Wayland, Qt's German texts, the
    # history's SQLite driver
    ca-certificates libqt6network6 fonts-dejavu-core qt6-wayland qt6-translations-l10n
    libqt6sql6-sqlite
    # packaging: the icon's bitmaps, what cpack runs, checking the package and its files
    librsvg2-bin file lintian desktop-file-utils appstream
    # tests: locales, secret service, X server, tray host, tools
    locales dbus dbus-x11 gnome-keyring libsecret-tools xvfb xauth x11-utils
    xdotool trayer imagemagick openssl iproute2 util-linux
    # tests: the tray hosts (Xfce's panel, waybar on sway) and what a screen reader asks through
    xfce4-panel xfwm4 xfconf sway waybar wayvnc grim wtype
    at-spi2-core python3-gi gir1.2-atspi-2.0
    # tests: the text bars besides waybar, and pgrep/pkill for the process they start
    polybar i3blocks procps
    # sanitizers and fuzzing (libFuzzer comes with clang's runtime)
    clang-16 libclang-rt-16-dev
    # benchmark
    curl jq hyperfine time
)

if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
else
    SUDO=(sudo)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update -qq
    "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The locale tests run under de_DE.UTF-8; generate it once.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    if [ -f /etc/locale.gen ] && ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'de_DE.UTF-8 UTF-8' | "${SUDO[@]}" tee -a /etc/locale.gen >/dev/null
    fi
    "${SUDO[@]}" locale-gen >/dev/null
fi
