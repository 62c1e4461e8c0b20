# Scenario sizes, the maildrops they need, and one client run of a scenario
# against one server. Sourced by run.sh.

ALL_SCENARIOS="retr64 list10k sessions concurrent slowreader idle1k idle4k idle10k tlsretr64 tlssessions retrreset lmtpseq lmtppipe lmtpbig lmtpconc lmtpmem"
# Delivery over LMTP: Dovecot's LMTP is a server of its own, Drennik's a second listener.
LMTP_SCENARIOS="lmtpseq lmtppipe lmtpbig lmtpconc lmtpmem"
is_lmtp() { [[ $1 == lmtp* ]]; }

# Servers that take part in only some scenarios (the others take part in all): the reference
# responder knows only the short session and one RETR, the windowed Drennik measures what
# showing the windows costs a session.
# An LMTP scenario needs the server's LMTP port (a Drennik build without the listener has none).
declare -A SERVES=([reference]="sessions retr64" [drennik-x11]="sessions")
serves() {  # serves SERVER SCENARIO
    if is_lmtp "$2"; then [ -n "${LPORT[$1]:-}" ]; return; fi
    [ -z "${SERVES[$1]:-}" ] || [[ " ${SERVES[$1]} " == *" $2 "* ]]
}

set_sizes() {  # $1: full | quick | smoke
    RETR_SIZE=$((64 << 20)); LIST_COUNT=10000; LIST_SIZE=2048
    # Enough sessions that the CPU time, counted in 10 ms clock ticks, has a few hundred ticks.
    SESS_COUNT=5000; TLS_SESS_COUNT=500; RESET_SIZE=$((1 << 30))
    CONC_CLIENTS=100; CONC_SIZE=$((100 << 10)); SLOW_SIZE=$((1 << 30)); SLOW_RATE=8000000
    # idleN: N connections held idle while IDLE_SESSIONS sequential sessions are timed.
    declare -gA IDLE_COUNT=([idle1k]=1000 [idle4k]=4000 [idle10k]=10000)
    IDLE_SESSIONS=300
    # Deliveries of 2 KiB: sequential sessions; pipelined sessions of LMTP_PER_SESSION; each
    # of LMTP_SENDERS concurrent senders' sequential sessions. Each run delivers to new users.
    LMTP_SEQ_COUNT=500 LMTP_PIPE_SESSIONS=5 LMTP_PER_SESSION=100
    LMTP_SENDERS=20 LMTP_CONC_COUNT=25 LMTP_BIG_SIZE=$((10 << 20)) LMTP_MEM_SIZE=$((1 << 30))
    case $1 in
        quick) SLOW_SIZE=$((64 << 20)) ;;
        smoke) RETR_SIZE=$((4 << 20)); LIST_COUNT=1000; SESS_COUNT=50; TLS_SESS_COUNT=50
               RESET_SIZE=$((64 << 20))
               CONC_SIZE=$((16 << 10)); SLOW_SIZE=$((16 << 20))
               IDLE_COUNT=([idle1k]=100 [idle4k]=400 [idle10k]=1000); IDLE_SESSIONS=50
               LMTP_SEQ_COUNT=20 LMTP_PIPE_SESSIONS=2 LMTP_PER_SESSION=10
               LMTP_CONC_COUNT=2 LMTP_BIG_SIZE=$((1 << 20)) LMTP_MEM_SIZE=$((64 << 20)) ;;
    esac
}

# The most connections any chosen scenario holds at once (descriptors needed by each side).
most_connections() {
    local most=$CONC_CLIENTS s
    for s in "$@"; do
        [ -z "${IDLE_COUNT[$s]:-}" ] || [ "${IDLE_COUNT[$s]}" -le "$most" ] || most=${IDLE_COUNT[$s]}
    done
    echo "$most"
}

# make_maildrops SCENARIO...: the same files for Drennik ($WORK/drennik) and,
# copied, for each Dovecot set-up's Maildir root.
make_maildrops() {
    local md=() s i idle_made=0 big_made=0 sess_made=0
    for s in "${DOVECOTS[@]}"; do md+=(--maildir "$WORK/dovecot-$s/mail"); done
    mk() { "$CLIENT" maildrop --drennik "$WORK/drennik" "$@"; }
    for s in "$@"; do
        case $s in
            retr64|tlsretr64)  # one maildrop for the plain and the TLS run
                [ "$big_made" = 1 ] ||
                    mk --user big --count 1 --size "$RETR_SIZE" --seed 11 "${md[@]}"
                big_made=1 ;;
            list10k) mk --user many --count "$LIST_COUNT" --size "$LIST_SIZE" --seed 12 "${md[@]}" ;;
            sessions|tlssessions)
                [ "$sess_made" = 1 ] || mk --user sess --count 5 --size 2048 --seed 13 "${md[@]}"
                sess_made=1 ;;
            concurrent)
                for i in $(seq 0 $((CONC_CLIENTS - 1))); do
                    mk --user "$(printf 'c%03d' "$i")" --count 1 --size "$CONC_SIZE" \
                       --seed $((1000 + i)) "${md[@]}"
                done ;;
            idle1k|idle4k|idle10k)  # one maildrop for the idle connections and the sessions
                [ "$idle_made" = 1 ] ||
                    mk --user idle --count 5 --size 2048 --seed 16 "${md[@]}"
                idle_made=1 ;;
            retrreset) mk --user reset --count 1 --size "$RESET_SIZE" --seed 17 "${md[@]}" ;;
            slowreader)  # Drennik only
                mk --user huge --count 1 --size "$SLOW_SIZE" --seed 14
                mk --user side --count 3 --size 4096 --seed 15 ;;
        esac || die "could not write the $s maildrop"
    done
    # Drennik's root exists even when no scenario put a maildrop in it: LMTP makes the folders.
    mkdir -p "$WORK/drennik"
    for s in "${DOVECOTS[@]}"; do mkdir -p "$WORK/dovecot-$s/mail"; done
}

# run_scenario SCENARIO PORT PID [EXTRA_PID]: the client's output goes to
# $WORK/client.out and .err. It runs in the background so that a signal to
# the harness is handled at once (wait returns), not after the run.
run_scenario() {
    local s=$1 port=$2 pid=$3 extra=${4:-} limit=300
    local c=(--port "$port" --timeout-ms 30000)
    case $s in
        retr64) c=(retr "${c[@]}" --user big --file "$WORK/drennik/big/000001.msg") ;;
        tlsretr64)  # PORT is the server's implicit-TLS port
            c=(retr "${c[@]}" --tls 1 --user big --file "$WORK/drennik/big/000001.msg") ;;
        tlssessions)
            c=(sessions "${c[@]}" --tls 1 --user sess --messages 5 --count "$TLS_SESS_COUNT") ;;
        list10k) c=(list "${c[@]}" --user many --count "$LIST_COUNT" --size "$LIST_SIZE") ;;
        sessions)  # with the CPU time of the server's process tree (and of the X server)
            c=(sessions "${c[@]}" --user sess --messages 5 --count "$SESS_COUNT" --pid "$pid")
            [ -z "$extra" ] || c+=(--extra-pid "$extra") ;;
        retrreset) c=(retrreset "${c[@]}" --pid "$pid" --user reset --size "$RESET_SIZE") ;;
        concurrent) c=(concurrent "${c[@]}" --root "$WORK/drennik" --clients "$CONC_CLIENTS") ;;
        idle1k|idle4k|idle10k)
            limit=900
            c=(idle "${c[@]}" --pid "$pid" --idle "${IDLE_COUNT[$s]}" --user idle --messages 5
               --count "$IDLE_SESSIONS") ;;
        lmtp*)  # a new user (senders: users) per run, in the store LSTORE[SERVER] names
            RUN_NUMBER=$((${RUN_NUMBER:-0} + 1))
            c=("$s" "${c[@]}" --size 2048 --store "$LMTP_STORE" --folder-suffix "$LMTP_SUFFIX")
            case $s in
                lmtpseq) c+=(--user "seq$RUN_NUMBER" --count "$LMTP_SEQ_COUNT") ;;
                lmtppipe) c+=(--user "pipe$RUN_NUMBER" --sessions "$LMTP_PIPE_SESSIONS"
                              --per-session "$LMTP_PER_SESSION") ;;
                lmtpbig) c+=(--user "big$RUN_NUMBER" --size "$LMTP_BIG_SIZE") ;;
                lmtpconc) c+=(--user-prefix "conc${RUN_NUMBER}s" --senders "$LMTP_SENDERS"
                              --count "$LMTP_CONC_COUNT") ;;
                lmtpmem)  # the final reply waits for the whole message to be synced
                    c+=(--user "mem$RUN_NUMBER" --pid "$pid" --size "$LMTP_MEM_SIZE"
                        --timeout-ms 120000) ;;
            esac ;;
        slowreader)
            limit=$((SLOW_SIZE / SLOW_RATE * 2 + 120))
            c=(slowreader --port "$port" --pid "$pid" --rate "$SLOW_RATE" --user huge
               --file "$WORK/drennik/huge/000001.msg" --side-user side --side-messages 3
               --side-file "$WORK/drennik/side/000001.msg") ;;
    esac
    # The client bounds each wait; timeout bounds the whole run.
    timeout --kill-after=5 "$limit" "$CLIENT" "${c[@]}" >"$WORK/client.out" 2>"$WORK/client.err" &
    RUNNING_PID=$!
    local rc=0
    wait "$RUNNING_PID" || rc=$?
    RUNNING_PID=
    return "$rc"
}

# make_tls_certificate DIR: an ECDSA P-256 certificate and key for 127.0.0.1, served by both
# servers in the TLS scenarios; sets TLS_CERT and TLS_KEY.
make_tls_certificate() {
    local dir=$1
    mkdir -p "$dir"
    TLS_CERT=$dir/cert.pem TLS_KEY=$dir/key.pem
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$TLS_KEY" \
        -out "$TLS_CERT" -days 2 -subj /CN=localhost \
        -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" >/dev/null 2>&1 ||
        die "could not make a TLS certificate"
    chmod 644 "$TLS_CERT" "$TLS_KEY"
}
