# shellcheck shell=bash disable=SC2015 # A && B || C below means "unless both A and B"
# For the end-to-end tests and benchmarks: the caller in private namespaces where the providers'
# host names resolve to 127.0.0.1, a throw-away CA is trusted (bind mounts over /etc/hosts and
# /etc/ssl/certs, only in there), and the fake provider behind those names.

# skip WHY: the test cannot run here (77); require_tools TOOL...: skips unless all are there.
skip() { echo "SKIP: $*"; exit 77; }
require_tools() {
    local tool
    for tool in "$@"; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
}

# netns_enter [--optional] SCRIPT ARGS...: re-runs SCRIPT in fresh namespaces (else exits 77, or
# with --optional goes on without); inside, makes $D with ca.* and server.* for all hosts, mounts.
netns_enter() {
    local ns=(unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private)
    local optional=false
    [ "$1" != --optional ] || { optional=true; shift; }
    if [ -z "${CG_NETNS_OUTER:-}" ]; then
        if ! { [ "$(id -u)" -eq 0 ] && "${ns[@]}" true 2>/dev/null; }; then
            ! $optional || return 0
            skip "needs root and permission to unshare namespaces"
        fi
        # --pid and --kill-child: nothing started inside outlives the script.
        CG_NETNS_OUTER=$(readlink /proc/self/ns/mnt) exec "${ns[@]}" -- bash "$@"
    fi
    [ "$(readlink /proc/self/ns/mnt)" != "$CG_NETNS_OUTER" ] \
        || { echo "netns: not in a private mount namespace, refusing to mount" >&2; exit 1; }
    D=$(mktemp -d)
    trap 'rm -rf -- "$D"' EXIT
    ip link set lo up
    netns_cert ca
    local hosts=(api.deepseek.com openrouter.ai api.moonshot.ai api.moonshot.cn api.siliconflow.com
        api.stepfun.com api.novita.ai relay.example)
    netns_cert server "$(printf 'DNS:%s,' "${hosts[@]}" | sed 's/,$//')" -CA "$D/ca.pem"
    echo "127.0.0.1 localhost ${hosts[*]}" > "$D/hosts"
    # Qt finds the CA by hash in the directory, curl in the bundle, which is replaced rather
    # than appended to, as it may be a link into the real store.
    cp -a /etc/ssl/certs "$D/certs"
    cp "$D/ca.pem" "$D/certs/creditgauge-test-ca.pem"
    cat /etc/ssl/certs/ca-certificates.crt "$D/ca.pem" > "$D/bundle"
    mv -f "$D/bundle" "$D/certs/ca-certificates.crt"
    openssl rehash "$D/certs" 2>/dev/null
    mount --bind "$D/hosts" /etc/hosts
    mount --bind "$D/certs" /etc/ssl/certs
    # An X server started in here cannot see the outer servers' processes, so it takes their
    # lock files for stale and would replace their sockets: the test session's X server would
    # drop out under the tests running beside this one. Sockets of our own keep them apart.
    install -d -m 1777 /tmp/.X11-unix
    mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
}

# netns_cert NAME [SANS [-CA CA.pem]]: EC key and certificate $D/NAME.{key,pem}; without SANS a CA.
netns_cert() {
    local ext=()
    [ -n "${2:-}" ] && ext=(-addext "subjectAltName=$2" -addext "basicConstraints=critical,CA:FALSE")
    [ "${3:-}" = -CA ] && ext+=(-CA "$4" -CAkey "${4%.pem}.key")
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=$1" -keyout "$D/$1.key" -out "$D/$1.pem" "${ext[@]}" 2>/dev/null
}

# fake_start CERT [--delay MS] ROUTE...: $FAKE_PROVIDER on 127.0.0.1:443 with $D/CERT.*,
# logging to $D/requests.log; returns once it listens.
fake_start() {
    local args=(--cert "$D/$1.pem" --key "$D/$1.key" --log "$D/requests.log") r ready
    shift
    if [ "${1:-}" = --delay ]; then args+=(--delay "$2"); shift 2; fi
    for r in "$@"; do args+=(--route "$r"); done
    : > "$D/requests.log"
    coproc FAKE { exec "$FAKE_PROVIDER" "${args[@]}"; }
    read -r -t 10 ready <&"${FAKE[0]}" && [ "$ready" = ready ] \
        || { echo "fake_provider did not start" >&2; exit 1; }
}

fake_stop() { { kill "$FAKE_PID"; wait "$FAKE_PID"; } || true; }
