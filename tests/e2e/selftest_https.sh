#!/usr/bin/env bash
# End to end: the built `creditgauge --selftest` against fake_provider over real HTTPS, with the
# real provider host names pointing at 127.0.0.1 and a throw-away CA trusted, all inside
# private namespaces (see netns-lib.sh). Needs root; exits 77 (skip) without.
#
# Usage: selftest_https.sh CREDITGAUGE FAKE_PROVIDER
set -euo pipefail
set -f # the route lists below are split on spaces and hold [ ]

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=netns-lib.sh
source "$here/netns-lib.sh"

if [ $# -ne 2 ]; then
    echo "usage: $0 CREDITGAUGE FAKE_PROVIDER" >&2
    exit 2
fi
CREDITGAUGE=$(readlink -f "$1")
FAKE_PROVIDER=$(readlink -f "$2")
for f in "$CREDITGAUGE" "$FAKE_PROVIDER"; do
    [ -x "$f" ] || { echo "not executable: $f" >&2; exit 2; }
done

netns_reexec "$here/selftest_https.sh" "$CREDITGAUGE" "$FAKE_PROVIDER"
netns_setup

# Certificates the program must refuse: self-signed, and CA-signed for another host.
netns_make_cert self untrusted "${NETNS_HOSTS[@]}"
netns_make_cert wronghost wrong.example

# The key travels only through the environment: to the program, and to fake_provider, which
# reports whether the Authorization header carried exactly this key without logging it.
export CREDITGAUGE_KEY=sk-e2e-0123456789abcdef
export FAKE_PROVIDER_EXPECT_KEY=$CREDITGAUGE_KEY
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

ds_ok='/user/balance=200:{"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.00","granted_balance":"10.00","topped_up_balance":"100.00"}]}'
# The key route answers differently, so a needless fall-back shows in the line and the log.
or_key='/api/v1/key=200:{"data":{"usage":2,"limit":10,"limit_remaining":8}}'

# name | CREDITGAUGE_PROVIDER | certificate | routes (space-separated) | paths requested | line
cases=$(cat <<EOF
deepseek_ok|deepseek|server|$ds_ok|/user/balance|OK deepseek CNY total=¥ 110,00 Aufgeladen=¥ 100,00 Geschenkt=¥ 10,00
unknown_provider_is_deepseek|nonsense|server|$ds_ok|/user/balance|OK deepseek CNY total=¥ 110,00 Aufgeladen=¥ 100,00 Geschenkt=¥ 10,00
openrouter_credits|openrouter|server|/api/v1/credits=200:{"data":{"total_credits":25,"total_usage":5}} $or_key|/api/v1/credits|OK openrouter USD total=\$ 20,00 Aufgeladen=\$ 25,00 Verbraucht=\$ 5,00
openrouter_credits_403_key|openrouter|server|/api/v1/credits=403:{"error":{"code":403,"message":"forbidden"}} $or_key|/api/v1/credits /api/v1/key|OK openrouter USD total=\$ 8,00 Key-Limit=\$ 10,00 Verbraucht=\$ 2,00
moonshot_ok|moonshot|server|/v1/users/me/balance=200:{"code":0,"data":{"available_balance":5.5,"voucher_balance":1,"cash_balance":4.5}}|/v1/users/me/balance|OK moonshot USD total=\$ 5,50 Bargeld=\$ 4,50 Gutschein=\$ 1,00
deepseek_401|deepseek|server|/user/balance=401:{"error":{"message":"invalid","type":"authentication_error"}}|/user/balance|FEHLER deepseek API-Key ungültig (401)
self_signed_refused|deepseek|untrusted|$ds_ok|-|FEHLER deepseek Netzwerkfehler
wrong_host_refused|deepseek|wronghost|$ds_ok|-|FEHLER deepseek Netzwerkfehler
EOF
)

d=$NETNS_DIR
failures=0
count=0
while IFS='|' read -r name provider cert routes paths expected; do
    count=$((count + 1))
    # shellcheck disable=SC2086 # routes and paths are space-separated lists
    fake_start "$d/$cert.pem" "$d/$cert.key" $routes

    status=0
    CREDITGAUGE_PROVIDER=$provider timeout 30 "$CREDITGAUGE" --selftest \
        > "$d/out" 2> "$d/err" < /dev/null || status=$?
    # A refusal only proves verification if the server's handshake itself works.
    control_ok=1
    if [ "$cert" != server ]; then
        openssl s_client -connect 127.0.0.1:443 -servername api.deepseek.com \
            < /dev/null > /dev/null 2>&1 || control_ok=0
    fi
    fake_stop

    # Every request must carry the headers and exactly the key; none may reach an untrusted
    # server.
    : > "$d/want.log"
    if [ "$paths" != - ]; then
        for p in $paths; do
            echo "GET $p accept=application/json ua=CreditGauge/1.0.1 auth=ok" >> "$d/want.log"
        done
    fi
    printf '%s\n' "$expected" > "$d/want.out"

    problems=()
    cmp -s "$d/out" "$d/want.out" || problems+=("stdout differs")
    [ -s "$d/err" ] && problems+=("stderr not empty")
    [ "$status" -eq 0 ] || problems+=("exit status $status")
    cmp -s "$d/requests.log" "$d/want.log" || problems+=("requests differ")
    [ "$control_ok" -eq 1 ] || problems+=("control handshake without verification failed")

    if [ ${#problems[@]} -eq 0 ]; then
        echo "PASS $name"
    else
        failures=$((failures + 1))
        echo "FAIL $name: $(IFS=';'; echo "${problems[*]}")"
        echo "  expected stdout:"
        sed 's/^/    /' "$d/want.out"
        echo "  actual stdout ($(wc -l < "$d/out") lines, $(wc -c < "$d/out") bytes):"
        sed 's/^/    /' "$d/out"
        [ -s "$d/err" ] && sed 's/^/  stderr: /' "$d/err"
        echo "  expected requests:"
        sed 's/^/    /' "$d/want.log"
        echo "  actual requests:"
        sed 's/^/    /' "$d/requests.log"
    fi
done <<< "$cases"

echo "$((count - failures))/$count cases passed"
[ "$failures" -eq 0 ]
