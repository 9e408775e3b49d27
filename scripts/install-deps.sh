#!/usr/bin/env bash
# Installs the Debian packages of the sets named (default: run):
#   run      building and running the application
#   test     the test suite, the sanitizer build, the fuzzers and the benchmarks
#   package  building and checking the Debian package
# Idempotent: packages already present are left alone, apt is only asked when something is
# missing. Runs apt-get as root, through sudo otherwise. `--list SET...` prints the packages.
set -euo pipefail

run=(
    # build: the icon's bitmaps are made from the SVG at build time
    build-essential cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools
    qtkeychain-qt6-dev librsvg2-bin
    # run-time: secret service client, TLS backend and certificates, native Wayland, Qt's German
    # texts, the history's SQLite driver, a font
    libsecret-1-0 ca-certificates libqt6network6 qt6-wayland qt6-translations-l10n
    libqt6sql6-sqlite fonts-dejavu-core
)
test=(
    # locales, secret service, X server, tray host, tools
    locales dbus dbus-x11 gnome-keyring libsecret-tools xvfb xauth x11-utils
    xdotool trayer imagemagick openssl iproute2 util-linux
    # the tray hosts (Xfce's panel, waybar on sway, LXQt's panel, Plasma's) and what a screen
    # reader asks
    xfce4-panel xfwm4 xfconf sway waybar wayvnc grim wtype lxqt-panel openbox
    plasma-desktop plasma-workspace kwin-x11 kded5 kactivitymanagerd
    at-spi2-core python3-gi gir1.2-atspi-2.0
    # the text bars besides waybar, and pgrep/pkill for the process they start
    polybar i3blocks procps
    # sanitizers and fuzzing (libFuzzer comes with clang's runtime)
    clang-16 libclang-rt-16-dev
    # benchmarks
    curl jq hyperfine time
)
package=(
    # what cpack runs, checking the package and its files
    file lintian desktop-file-utils appstream
)

list=false
[ "${1:-}" != --list ] || { list=true; shift; }
[ $# -gt 0 ] || set -- run
packages=()
for set in "$@"; do
    case $set in
    run) packages+=("${run[@]}") ;;
    test) packages+=("${test[@]}") ;;
    package) packages+=("${package[@]}") ;;
    *) echo "install-deps.sh: unknown set '$set' (run, test, package)" >&2; exit 2 ;;
    esac
done
if $list; then printf '%s\n' "${packages[@]}"; exit 0; fi

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
if [[ " $* " == *" test "* ]] && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    if [ -f /etc/locale.gen ] && ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen; then
        echo 'de_DE.UTF-8 UTF-8' | "${SUDO[@]}" tee -a /etc/locale.gen >/dev/null
    fi
    "${SUDO[@]}" locale-gen >/dev/null
fi
