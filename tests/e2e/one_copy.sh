#!/usr/bin/env bash
# The executable and the tray module share one copy of the core and of the refresh library:
# neither defines their functions itself (a second copy would bring a second network manager
# and a second set of pending key reads into the tray process).
# Usage: one_copy.sh CREDITGAUGE TRAY_MODULE CORE_LIBRARY REFRESH_LIBRARY
set -euo pipefail
defines() { [ "$(nm -C --defined-only "$1" | grep -c " $2(")" -gt 0 ]; }
status=0
for symbol in 'creditgauge::ProviderClient::fetch' 'creditgauge::KeyStore::read'; do
    for binary in "$1" "$2"; do
        if defines "$binary" "$symbol"; then
            echo "FAIL: $(basename "$binary") has a copy of $symbol"; status=1; fi
    done
done
defines "$3" 'creditgauge::ProviderClient::fetch' || { echo "FAIL: the core lacks fetch"; status=1; }
defines "$4" 'creditgauge::KeyStore::read' || { echo "FAIL: the refresh library lacks read"; status=1; }
# The self-test loads the core only.
if [ "$(ldd "$1" | grep -Ec 'creditgauge-refresh|Qt6DBus|Qt6Widgets|Qt6Gui|keychain')" -gt 0 ]; then
    echo "FAIL: the executable loads more than the core"; status=1; fi
[ "$status" -ne 0 ] || echo "PASS: one copy of each library"
exit "$status"
