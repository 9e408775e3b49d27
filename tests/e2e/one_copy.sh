#!/usr/bin/env bash
# The executable and the modules it loads (the tray, the text-bar mode) share one copy of the
# core and of the refresh library: none defines their functions itself (a second copy would
# bring a second network manager and a second set of pending key reads into the process).
# Usage: one_copy.sh CREDITGAUGE CORE_LIBRARY REFRESH_LIBRARY TRAY_MODULE BAR_MODULE
set -euo pipefail
defines() { [ "$(nm -C --defined-only "$1" | grep -c " $2(")" -gt 0 ]; }
loads() { [ "$(ldd "$1" | grep -Ec "$2")" -gt 0 ]; }
status=0
for symbol in 'creditgauge::ProviderClient::fetch' 'creditgauge::KeyStore::read'; do
    for binary in "$1" "$4" "$5"; do
        if defines "$binary" "$symbol"; then
            echo "FAIL: $(basename "$binary") has a copy of $symbol"; status=1; fi
    done
done
defines "$2" 'creditgauge::ProviderClient::fetch' || { echo "FAIL: the core lacks fetch"; status=1; }
defines "$3" 'creditgauge::KeyStore::read' || { echo "FAIL: the refresh library lacks read"; status=1; }
# The self-test loads the core only; the text-bar mode no GUI library.
if loads "$1" 'creditgauge-refresh|Qt6DBus|Qt6Widgets|Qt6Gui|keychain'; then
    echo "FAIL: the executable loads more than the core"; status=1; fi
if loads "$5" 'Qt6Widgets|Qt6Gui|libX11|libwayland'; then
    echo "FAIL: the text-bar module loads a GUI library"; status=1; fi
[ "$status" -ne 0 ] || echo "PASS: one copy of each library"
exit "$status"
