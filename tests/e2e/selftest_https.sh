#!/usr/bin/env bash
# The built `creditgauge --selftest` over real HTTPS against fake_provider behind the real host
# names (netns-lib.sh; needs root, else exits 77).
# Usage: selftest_https.sh CREDITGAUGE FAKE_PROVIDER
set -euo pipefail
set -f # the route lists hold [ ]
# shellcheck source=netns-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/netns-lib.sh"
netns_enter "${BASH_SOURCE[0]}" "$@"
CREDITGAUGE=$1 FAKE_PROVIDER=$2
netns_cert untrusted DNS:api.deepseek.com
netns_cert wronghost DNS:wrong.example -CA "$D/ca.pem"
netns_cert china DNS:api.moonshot.cn -CA "$D/ca.pem"

# The key goes only through the environment; fake_provider logs just whether it arrived intact.
export CREDITGAUGE_KEY=sk-e2e-0123456789abcdef FAKE_PROVIDER_EXPECT_KEY=sk-e2e-0123456789abcdef
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
ds='/user/balance=200:{"is_available":true,"balance_infos":[{"currency":"CNY","total_balance":"110.00","granted_balance":"10.00","topped_up_balance":"100.00"}]}'
ds_line='OK deepseek CNY total=¥ 110,00 Aufgeladen=¥ 100,00 Geschenkt=¥ 10,00'
# Answers differently from the credits route, so a needless fall-back shows.
or_key='/api/v1/key=200:{"data":{"usage":2,"limit":10,"limit_remaining":8}}'
relay_routes='/v1/dashboard/billing/subscription=200:{"hard_limit_usd":3} /v1/dashboard/billing/usage=200:{"total_usage":125}'

# name | provider | certificate | arguments | routes | paths requested | stdout | what stderr
# tells with every logging category on, Qt's own too, where the key must appear nowhere (else
# stderr stays empty) | CREDITGAUGE_MOONSHOT_REGION | CREDITGAUGE_RELAY_URL
stderr_ok() {
    if [ -z "$1" ]; then [ ! -s "$D/err" ]; else grep -qF "$1" "$D/err" &&
        ! grep -qF -e "$CREDITGAUGE_KEY" -e Bearer "$D/out" "$D/err"; fi
}
# shellcheck disable=SC2086 # routes, arguments and paths are space-separated lists
while IFS='|' read -r name provider cert args routes paths expected logged region relay; do
    fake_start "$cert" $routes
    status=0
    CREDITGAUGE_PROVIDER=$provider CREDITGAUGE_MOONSHOT_REGION=$region CREDITGAUGE_RELAY_URL=$relay \
        QT_LOGGING_RULES=${logged:+*.debug=true} timeout 30 \
        "$CREDITGAUGE" $args >"$D/out" 2>"$D/err" </dev/null || status=$?
    fake_stop
    printf '%s\n' "$expected" > "$D/want.out"
    for p in $paths; do
        echo "GET $p accept=application/json ua=CreditGauge/1.0.1 auth=ok"
    done > "$D/want.log"
    if stderr_ok "$logged" && diff "$D/want.out" "$D/out" && diff "$D/want.log" "$D/requests.log" \
        && [ "$status" = 0 ]; then
        echo "PASS $name"
    else
        echo "FAIL $name: exit $status, stderr:" && cat "$D/err" && failed=1
    fi
done <<EOF
deepseek_ok|deepseek|server|--selftest|$ds|/user/balance|$ds_line
selftest_among_arguments|deepseek|server|-x --selftest extra|$ds|/user/balance|$ds_line|creditgauge.network: api.deepseek.com: HTTP 200,
openrouter_credits|openrouter|server|--selftest|/api/v1/credits=200:{"data":{"total_credits":25,"total_usage":5}} $or_key|/api/v1/credits|OK openrouter USD total=\$ 20,00 Aufgeladen=\$ 25,00 Verbraucht=\$ 5,00
moonshot_ok|moonshot|server|--selftest|/v1/users/me/balance=200:{"code":0,"data":{"available_balance":5.5,"voucher_balance":1,"cash_balance":4.5}}|/v1/users/me/balance|OK moonshot USD total=\$ 5,50 Bargeld=\$ 4,50 Gutschein=\$ 1,00
moonshot_china_host_only|moonshot|china|--selftest|/v1/users/me/balance=200:{"data":{"available_balance":7,"cash_balance":7}}|/v1/users/me/balance|OK moonshot CNY total=¥ 7,00 Bargeld=¥ 7,00||china
moonshot_unknown_region_sends_nothing|moonshot|china|--selftest|/v1/users/me/balance=200:{}||FEHLER moonshot CREDITGAUGE_MOONSHOT_REGION ist weder international noch china||cn
stepfun_ok|stepfun|server|--selftest|/v1/accounts=200:{"object":"account","type":"prepaid","balance":100.5,"total_cash_balance":90,"total_voucher_balance":26}|/v1/accounts|OK stepfun CNY total=¥ 100,50 Bargeld=¥ 90,00 Gutschein=¥ 26,00
siliconflow_ok|siliconflow|server|--selftest|/v1/user/info=200:{"code":20000,"status":true,"data":{"balance":"0.88","chargeBalance":"88.00","totalBalance":"88.88"}}|/v1/user/info|OK siliconflow USD total=\$ 88,88 Aufgeladen=\$ 88,00 Geschenkt=\$ 0,88
novita_401|novita|server|--selftest|/openapi/v1/billing/balance/detail=401:{}|/openapi/v1/billing/balance/detail|FEHLER novita API-Key ungültig (401)
relay_ok|relay|server|--selftest|$relay_routes|/v1/dashboard/billing/subscription /v1/dashboard/billing/usage?start_date=2020-01-01&end_date=2100-01-01|OK relay USD total=\$ 1,75 Limit=\$ 3,00 Verbraucht=\$ 1,25|||https://relay.example/v1
relay_http_sends_nothing|relay|server|--selftest|$relay_routes||FEHLER relay Relay-Adresse muss mit https:// beginnen (http:// nur für diesen Rechner)|||http://relay.example
deepseek_401|deepseek|server|--selftest|/user/balance=401:{"error":{"message":"invalid"}}|/user/balance|FEHLER deepseek API-Key ungültig (401)
moonshot_401_names_the_variable|moonshot|server|--selftest|/v1/users/me/balance=401:{}|/v1/users/me/balance|FEHLER moonshot API-Key ungültig (401) – Key der Region China? CREDITGAUGE_MOONSHOT_REGION=china setzen
self_signed_refused|deepseek|untrusted|--selftest|$ds||FEHLER deepseek Netzwerkfehler|creditgauge.network: api.deepseek.com: SslHandshakeFailedError
wrong_host_refused|deepseek|wronghost|--selftest|$ds||FEHLER deepseek Netzwerkfehler
EOF
# The process that holds a key cannot be dumped or read by other processes of its user: /proc
# shows the files of such a process as root's. Run as nobody, from a copy nobody can reach, with
# the build tree's libraries: the tree itself may lie in a folder only its owner can enter.
chmod 755 "$D" && mkdir "$D/bin" && cp "$CREDITGAUGE" "$D/bin/"
find "$(dirname "$CREDITGAUGE")" -maxdepth 1 -name 'libcreditgauge-*.so' -exec cp -t "$D/bin" {} +
fake_start server --delay 3000 "$ds"
CREDITGAUGE_PROVIDER=deepseek LD_LIBRARY_PATH=$D/bin setpriv --reuid=65534 --regid=65534 \
    --clear-groups "$D/bin/creditgauge" --selftest >"$D/out" 2>&1 </dev/null &
selftest=$!
for _ in $(seq 100); do [ -s "$D/requests.log" ] && break; sleep 0.05; done
owner=$(stat -c %u "/proc/$selftest/environ" 2>/dev/null || echo gone)
wait "$selftest" || true
fake_stop
if [ "$owner" = 0 ] && [ "$(cat "$D/out")" = "$ds_line" ]; then
    echo "PASS not_dumpable"
else
    echo "FAIL not_dumpable: /proc/PID/environ owned by $owner, output:" && cat "$D/out" && failed=1
fi
exit "${failed:-0}"
