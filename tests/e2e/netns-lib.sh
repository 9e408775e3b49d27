# Sourced by tests/e2e/selftest_https.sh and bench/selftest.
#
# Runs the calling script inside private mount, network and PID namespaces in which the real
# provider host names resolve to 127.0.0.1 and a throw-away CA is trusted, so the real binary
# talks real HTTPS to fake_provider. /etc/hosts and /etc/ssl/certs are replaced by bind mounts
# that exist only inside the namespace; nothing outside it changes, and nothing inside it can
# reach the network.
#
# Use:
#   source netns-lib.sh
#   netns_reexec /abs/path/to/script "$@"   # returns only inside the namespace
#   netns_setup                             # CA, certificate, hosts, trust store, mounts
#   fake_start "$NETNS_CERT" "$NETNS_KEY" /user/balance=200:@body.json ...
#   ... ; fake_stop
# The caller sets FAKE_PROVIDER (path of the fake_provider binary) before fake_start.

# shellcheck disable=SC2034 # NETNS_* are read by the sourcing scripts
NETNS_HOSTS=(api.deepseek.com openrouter.ai api.moonshot.ai)
NETNS_DIR=
FAKE_PID=

# Re-runs SCRIPT with ARGS in fresh namespaces unless already there. Exits 77 (skip) when
# that is impossible here.
netns_reexec() {
    local script=$1
    shift
    if [ -n "${CG_NETNS_OUTER_MNT:-}" ]; then
        return 0
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: needs root for a private mount and network namespace (unshare)" >&2
        exit 77
    fi
    local probe=(unshare --mount --net --pid --fork --kill-child --mount-proc
                 --propagation private)
    if ! "${probe[@]}" true 2>/dev/null; then
        echo "SKIP: unshare of mount/network/PID namespaces is not permitted here" >&2
        exit 77
    fi
    # Recorded so netns_setup can refuse to mount anything unless it really is elsewhere.
    CG_NETNS_OUTER_MNT=$(readlink /proc/self/ns/mnt)
    CG_NETNS_OUTER_NET=$(readlink /proc/self/ns/net)
    export CG_NETNS_OUTER_MNT CG_NETNS_OUTER_NET
    # --pid with --kill-child: every process started inside dies with the script, even on
    # SIGKILL, so no fake server can outlive a run.
    exec "${probe[@]}" -- bash "$script" "$@"
}

netns_die() {
    echo "netns: $*" >&2
    exit 1
}

netns_cleanup() {
    fake_stop
    if [ -n "$NETNS_DIR" ]; then
        umount /etc/ssl/certs 2>/dev/null || true
        umount /etc/hosts 2>/dev/null || true
        rm -rf -- "$NETNS_DIR"
        NETNS_DIR=
    fi
}

# Makes a certificate and key for the DNS names given, signed by the test CA, or self-signed
# with "self" as the first argument. Prints nothing; writes DIR/NAME.pem and DIR/NAME.key.
netns_make_cert() {
    local issuer=ca
    if [ "$1" = self ]; then
        issuer=self
        shift
    fi
    local name=$1
    shift
    local san
    san=$(printf 'DNS:%s,' "$@")
    san=${san%,}
    local d=$NETNS_DIR
    printf '%s\n' "subjectAltName=$san" "basicConstraints=critical,CA:FALSE" \
        "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" > "$d/$name.ext"
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$d/$name.key" -out "$d/$name.csr" -subj "/CN=$1" 2>/dev/null \
        || netns_die "openssl req for $name failed"
    if [ "$issuer" = self ]; then
        openssl x509 -req -in "$d/$name.csr" -signkey "$d/$name.key" -days 2 \
            -extfile "$d/$name.ext" -out "$d/$name.pem" 2>/dev/null
    else
        openssl x509 -req -in "$d/$name.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" \
            -CAcreateserial -days 2 -extfile "$d/$name.ext" -out "$d/$name.pem" 2>/dev/null
    fi || netns_die "openssl x509 for $name failed"
}

# Sets NETNS_DIR, NETNS_CA, NETNS_CERT and NETNS_KEY (a certificate for all provider hosts,
# signed by the test CA), and mounts the hosts file and trust store. Installs an EXIT trap.
netns_setup() {
    # The mounts below must never land on the real system.
    [ -n "${CG_NETNS_OUTER_MNT:-}" ] || netns_die "netns_setup called outside netns_reexec"
    [ "$(readlink /proc/self/ns/mnt)" != "$CG_NETNS_OUTER_MNT" ] \
        || netns_die "not in a private mount namespace; refusing to mount"
    [ "$(readlink /proc/self/ns/net)" != "$CG_NETNS_OUTER_NET" ] \
        || netns_die "not in a private network namespace; refusing to continue"

    trap netns_cleanup EXIT
    trap 'exit 130' INT TERM

    ip link set lo up || netns_die "cannot bring up loopback"
    NETNS_DIR=$(mktemp -d "${TMPDIR:-/tmp}/creditgauge-netns.XXXXXX")
    local d=$NETNS_DIR

    openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$d/ca.key" -out "$d/ca.pem" -days 2 -subj "/CN=CreditGauge Test CA" \
        2>/dev/null || netns_die "cannot make the test CA"
    netns_make_cert server "${NETNS_HOSTS[@]}"
    NETNS_CA=$d/ca.pem
    NETNS_CERT=$d/server.pem
    NETNS_KEY=$d/server.key

    {
        echo "127.0.0.1 localhost"
        echo "::1 localhost"
        echo "127.0.0.1 ${NETNS_HOSTS[*]}"
    } > "$d/hosts"

    # A copy of the trust store plus the test CA. Qt's OpenSSL backend looks certificates up
    # by hash in the directory, hence the rehash; curl also reads the bundle file, which is
    # replaced (not appended through, as it might be a link into the real store).
    cp -a /etc/ssl/certs "$d/certs"
    cp "$d/ca.pem" "$d/certs/creditgauge-test-ca.pem"
    if [ -e "$d/certs/ca-certificates.crt" ]; then
        cat "$d/certs/ca-certificates.crt" "$d/ca.pem" > "$d/bundle.tmp"
        mv -f "$d/bundle.tmp" "$d/certs/ca-certificates.crt"
    fi
    openssl rehash "$d/certs" >/dev/null 2>&1 || netns_die "openssl rehash failed"

    mount --bind "$d/hosts" /etc/hosts || netns_die "cannot bind-mount /etc/hosts"
    mount --bind "$d/certs" /etc/ssl/certs || netns_die "cannot bind-mount /etc/ssl/certs"

    # Fail here, not in the program under test, if the set-up itself is wrong.
    local h
    for h in "${NETNS_HOSTS[@]}"; do
        [ "$(getent hosts "$h" | awk 'NR==1{print $1}')" = 127.0.0.1 ] \
            || netns_die "$h does not resolve to 127.0.0.1"
    done
    openssl verify -CApath /etc/ssl/certs "$NETNS_CERT" >/dev/null 2>&1 \
        || netns_die "test certificate does not verify against /etc/ssl/certs"
}

# fake_start CERT KEY ROUTE...: fake_provider on 127.0.0.1:443 with a fresh request log at
# $NETNS_DIR/requests.log. Waits until it listens.
fake_start() {
    local cert=$1 key=$2
    shift 2
    local args=() r
    for r in "$@"; do
        args+=(--route "$r")
    done
    fake_stop
    : > "$NETNS_DIR/requests.log"
    "$FAKE_PROVIDER" --port 443 --cert "$cert" --key "$key" --log "$NETNS_DIR/requests.log" \
        "${args[@]}" < /dev/null > "$NETNS_DIR/fake.out" 2> "$NETNS_DIR/fake.err" &
    FAKE_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        if grep -qx ready "$NETNS_DIR/fake.out" 2>/dev/null; then
            return 0
        fi
        kill -0 "$FAKE_PID" 2>/dev/null || break
        sleep 0.1
    done
    cat "$NETNS_DIR/fake.err" >&2
    netns_die "fake_provider did not start"
}

fake_stop() {
    if [ -n "$FAKE_PID" ]; then
        kill "$FAKE_PID" 2>/dev/null || true
        wait "$FAKE_PID" 2>/dev/null || true
        FAKE_PID=
    fi
}
