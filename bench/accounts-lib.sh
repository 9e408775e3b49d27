# Ten accounts for the benchmarks, sourced after tests/e2e/hosts-lib.sh: the first and a second
# account at each of five providers, each with a key of its own in the session's keyring and an
# answer from the fake provider behind the provider's real host name.

ten_providers=(deepseek openrouter moonshot siliconflow stepfun)

# The answers, as fake_provider's routes (PATH=STATUS:BODY) and bench_soak's.
ten_account_routes=(
    '/user/balance=200:{"balance_infos":[{"currency":"USD","total_balance":"12.5"}]}'
    '/api/v1/credits=200:{"data":{"total_credits":20,"total_usage":4.5}}'
    '/v1/users/me/balance=200:{"data":{"available_balance":31.25}}'
    '/v1/user/info=200:{"code":20000,"status":true,"data":{"balance":"1","chargeBalance":"9","totalBalance":"10"}}'
    '/v1/accounts=200:{"balance":100.5,"total_cash_balance":90,"total_voucher_balance":26}'
)

# ten_accounts CONFIG_HOME: stores the ten keys and a settings file under CONFIG_HOME that
# lists the second accounts, selects DeepSeek's first and asks all of them.
ten_accounts() {
    local p list=() dir=$1/creditgauge
    mkdir -p "$dir"
    for p in "${ten_providers[@]}"; do
        if [ "$p" = deepseek ]; then store_key "sk-bench-$p-1"; else store_key "sk-bench-$p-1" "api-key-$p"; fi
        store_key "sk-bench-$p-2" "api-key-$p-2"
        list+=("$p-2")
    done
    {
        printf '[General]\nprovider=deepseek\nallProviders=true\n\n[accounts]\n'
        printf 'list=%s\n' "$(IFS=,; echo "${list[*]}" | sed 's/,/, /g')"
        for p in "${ten_providers[@]}"; do printf '%s-2\\name=Zweitkonto %s\n' "$p" "$p"; done
    } >"$dir/creditgauge.conf"
}

# one_account CONFIG_HOME: a settings file that asks DeepSeek's first account alone, as the
# program did before it knew of accounts.
one_account() {
    mkdir -p "$1/creditgauge"
    printf '[General]\nprovider=deepseek\nallProviders=false\n' >"$1/creditgauge/creditgauge.conf"
}
