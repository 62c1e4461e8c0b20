# Scenario sizes, the maildrops they need, and one client run of a scenario
# against one server. Sourced by run.sh.

ALL_SCENARIOS="retr64 list10k sessions concurrent slowreader"

set_sizes() {  # $1: full | quick | smoke
    RETR_SIZE=$((64 << 20)); LIST_COUNT=10000; LIST_SIZE=2048; SESS_COUNT=500
    CONC_CLIENTS=100; CONC_SIZE=$((100 << 10)); SLOW_SIZE=$((1 << 30)); SLOW_RATE=8000000
    case $1 in
        quick) SLOW_SIZE=$((64 << 20)) ;;
        smoke) RETR_SIZE=$((4 << 20)); LIST_COUNT=1000; SESS_COUNT=50
               CONC_SIZE=$((16 << 10)); SLOW_SIZE=$((16 << 20)) ;;
    esac
}

# make_maildrops SCENARIO...: the same files for Drennik ($WORK/drennik) and,
# hard-linked, for each Dovecot set-up's Maildir root.
make_maildrops() {
    local md=() s i
    for s in "${DOVECOTS[@]}"; do md+=(--maildir "$WORK/dovecot-$s/mail"); done
    mk() { "$CLIENT" maildrop --drennik "$WORK/drennik" "$@"; }
    for s in "$@"; do
        case $s in
            retr64) mk --user big --count 1 --size "$RETR_SIZE" --seed 11 "${md[@]}" ;;
            list10k) mk --user many --count "$LIST_COUNT" --size "$LIST_SIZE" --seed 12 "${md[@]}" ;;
            sessions) mk --user sess --count 5 --size 2048 --seed 13 "${md[@]}" ;;
            concurrent)
                for i in $(seq 0 $((CONC_CLIENTS - 1))); do
                    mk --user "$(printf 'c%03d' "$i")" --count 1 --size "$CONC_SIZE" \
                       --seed $((1000 + i)) "${md[@]}"
                done ;;
            slowreader)  # Drennik only
                mk --user huge --count 1 --size "$SLOW_SIZE" --seed 14
                mk --user side --count 3 --size 4096 --seed 15 ;;
        esac || die "could not write the $s maildrop"
    done
    for s in "${DOVECOTS[@]}"; do mkdir -p "$WORK/dovecot-$s/mail"; done
}

# run_scenario SCENARIO PORT PID: the client's output goes to
# $WORK/client.out and .err. It runs in the background so that a signal to
# the harness is handled at once (wait returns), not after the run.
run_scenario() {
    local s=$1 port=$2 pid=$3 limit=300
    local c=(--port "$port" --timeout-ms 30000)
    case $s in
        retr64) c=(retr "${c[@]}" --user big --file "$WORK/drennik/big/000001.msg") ;;
        list10k) c=(list "${c[@]}" --user many --count "$LIST_COUNT" --size "$LIST_SIZE") ;;
        sessions) c=(sessions "${c[@]}" --user sess --messages 5 --count "$SESS_COUNT") ;;
        concurrent) c=(concurrent "${c[@]}" --root "$WORK/drennik" --clients "$CONC_CLIENTS") ;;
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
