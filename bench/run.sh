#!/usr/bin/env bash
# Drennik against Dovecot on loopback. See bench/README.md.
# Exit status: 0 all runs correct and all targets met, 1 a run failed or
# returned wrong bytes, 2 runs correct but a target missed.
set -euo pipefail

BENCH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$BENCH")
RELEASE_DIR=$ROOT/build-release
LOGDIR=$RELEASE_DIR/bench-logs
. "$BENCH/lib/common.sh"
. "$BENCH/lib/dovecot.sh"
. "$BENCH/lib/drennik.sh"
. "$BENCH/lib/scenarios.sh"
. "$BENCH/lib/reference.sh"

usage() {
    cat <<EOF
usage: bench/run.sh [options] [scenario...]
scenarios: $ALL_SCENARIOS (default: all)
  --pairs N        measured Drennik/Dovecot pairs per scenario (default 5)
  --quick          slowreader with 64 MiB instead of 1 GiB
  --smoke          every scenario once at small sizes, Drennik only (the LMTP ones when
                   this build has the LMTP listener)
  --dovecot-both   also measure Dovecot as installed (default: process reuse only)
  --dovecot-only   measure Dovecot alone (no Drennik build)
  --drennik-only   measure Drennik alone (no Dovecot run beside it)
  --drennik PATH   use this Drennik executable instead of building one
  --x11            also measure Drennik with both windows shown under Xvfb (sessions only)
  --no-reference   leave out the reference responder (sessions, retr64)
  --keep           keep the temporary folder (maildrops, configs)
EOF
}

PAIRS=5 MODE=full WITH_DRENNIK=1 DRENNIK= KEEP=0 DOVECOTS=(reuse) SCENARIOS=() X11=0 REF=1
while [ $# -gt 0 ]; do
    case $1 in
        --pairs) PAIRS=${2:?}; shift ;;
        --quick) MODE=quick ;;
        --smoke) MODE=smoke ;;
        --dovecot-both) DOVECOTS=(reuse installed) ;;
        --dovecot-only) WITH_DRENNIK=0 ;;
        --drennik-only) DOVECOTS=() ;;
        --drennik) DRENNIK=$(realpath "${2:?}"); shift ;;
        --keep) KEEP=1 ;;
        --x11) X11=1 ;;
        --no-reference) REF=0 ;;
        -h|--help) usage; exit 0 ;;
        -*) usage >&2; exit 64 ;;
        *) [[ " $ALL_SCENARIOS " == *" $1 "* ]] || { usage >&2; exit 64; }; SCENARIOS+=("$1") ;;
    esac
    shift
done
[ ${#SCENARIOS[@]} -gt 0 ] || read -r -a SCENARIOS <<<"$ALL_SCENARIOS"
[[ $PAIRS =~ ^[1-9][0-9]*$ ]] || die "--pairs needs a positive number"
if [ "$MODE" = smoke ]; then PAIRS=1 DOVECOTS=() WITH_DRENNIK=1; fi
if [ "$WITH_DRENNIK" = 0 ]; then
    # slowreader and lmtpmem measure Drennik alone.
    read -r -a SCENARIOS <<<"$(printf '%s\n' "${SCENARIOS[@]}" | grep -vx 'slowreader\|lmtpmem' |
                                tr '\n' ' ')"
fi
[ ${#SCENARIOS[@]} -gt 0 ] || die "nothing to run"
[ "$(id -u)" = 0 ] || die "run as root (installs Dovecot, runs its mail processes as nobody)"
set_sizes "$MODE"
# Each side holds one descriptor per connection; the rest is headroom for files and pipes.
raise_fd_limit $(($(most_connections "${SCENARIOS[@]}") + 1000))

mkdir -p "$LOGDIR"
rm -f "$LOGDIR"/*.log "$LOGDIR"/drennik*.* "$LOGDIR"/reference.* "$LOGDIR"/results.tsv "$LOGDIR"/report.txt
trap cleanup EXIT
trap 'exit 130' INT TERM
WORK=$(mktemp -d /tmp/drennik-bench.XXXXXX)
chmod 755 "$WORK"  # Dovecot's unprivileged processes walk through it

build_all
make_tls_certificate "$WORK/tls"
"$CLIENT" selftest >"$WORK/selftest.out" || die "client self-test failed"
CHECKER=$(grep -o 'checker_mbps=[0-9]*' "$WORK/selftest.out" | cut -d= -f2)
[ ${#DOVECOTS[@]} -eq 0 ] || dovecot_install

log "generating maildrops for: ${SCENARIOS[*]} ($MODE sizes)"
make_maildrops "${SCENARIOS[@]}"

SERVERS=()
# LPORT, LPID, LSTORE, LSUFFIX: a server's LMTP port, the process that serves it, and where a
# user's delivered messages land (LSTORE/USER plus LSUFFIX).
declare -A PORT=() TLSPORT=() SPID=() LPORT=() LPID=() LSTORE=() LSUFFIX=()
chosen() { [[ " ${SCENARIOS[*]} " == *" $1 "* ]]; }
any_chosen() {  # any_chosen lmtp|pop3: a scenario of that kind is chosen
    local s
    for s in "${SCENARIOS[@]}"; do
        if is_lmtp "$s"; then [ "$1" = lmtp ] && return 0; else [ "$1" = pop3 ] && return 0; fi
    done
    return 1
}
if [ "$WITH_DRENNIK" = 1 ]; then
    drennik_start "$WORK/drennik"
    SERVERS+=(drennik) PORT[drennik]=$DRENNIK_PORT SPID[drennik]=$DRENNIK_PID
    TLSPORT[drennik]=$DRENNIK_TLS_PORT
    log "Drennik pid $DRENNIK_PID on port $DRENNIK_PORT"
    if [ -n "$DRENNIK_LMTP_PORT" ]; then
        LPORT[drennik]=$DRENNIK_LMTP_PORT LPID[drennik]=$DRENNIK_PID LSTORE[drennik]=$WORK/drennik
        log "Drennik LMTP on port $DRENNIK_LMTP_PORT"
    elif any_chosen lmtp; then
        log "this Drennik has no LMTP listener (--lmtp-port): LMTP scenarios run without it"
    fi
fi
for s in "${DOVECOTS[@]}"; do
    SERVERS+=("dovecot-$s")
    if any_chosen pop3; then
        p=$("$CLIENT" freeport)
        tp=$("$CLIENT" freeport)
        dovecot_config "$WORK/dovecot-$s" "$WORK/dovecot-$s/mail" "$p" "$s" "$tp"
        dovecot_start "$WORK/dovecot-$s" "$p"
        PORT[dovecot-$s]=$p TLSPORT[dovecot-$s]=$tp SPID[dovecot-$s]=$DOVECOT_PID
        log "Dovecot ($s) pid $DOVECOT_PID on port $p"
    fi
    if any_chosen lmtp; then
        p=$("$CLIENT" freeport)
        dovecot_lmtp_config "$WORK/dovecot-lmtp-$s" "$WORK/dovecot-lmtp-$s/mail" "$p" "$s"
        dovecot_start "$WORK/dovecot-lmtp-$s" "$p" lmtp
        LPORT[dovecot-$s]=$p LPID[dovecot-$s]=$DOVECOT_PID
        LSTORE[dovecot-$s]=$WORK/dovecot-lmtp-$s/mail LSUFFIX[dovecot-$s]=/Maildir
        log "Dovecot ($s) LMTP pid $DOVECOT_PID on port $p"
    fi
done
if [ "$REF" = 1 ] && { chosen sessions || chosen retr64; }; then
    reference_start
    SERVERS+=(reference) PORT[reference]=$REFERENCE_PORT SPID[reference]=$REFERENCE_PID
    log "reference responder pid $REFERENCE_PID on port $REFERENCE_PORT"
fi
declare -A XPID=()
if [ "$X11" = 1 ] && [ "$WITH_DRENNIK" = 1 ] && chosen sessions; then
    drennik_x11_start "$WORK/drennik"
    # Right after Drennik, so that the report shows the two side by side.
    SERVERS=(drennik drennik-x11 "${SERVERS[@]:1}")
    PORT[drennik-x11]=$DRENNIK_X11_PORT SPID[drennik-x11]=$DRENNIK_X11_PID XPID[drennik-x11]=$XVFB_PID
    log "Drennik with windows on Xvfb $XVFB_DISPLAY (pid $XVFB_PID): pid $DRENNIK_X11_PID on port $DRENNIK_X11_PORT"
fi
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

RESULTS=$LOGDIR/results.tsv
: >"$RESULTS"
ERRORS=0
# One run: appends "scenario server pair value extras" to $RESULTS.
measure() {
    local scen=$1 srv=$2 pair=$3 line port pid
    pid=${SPID[$srv]:-} port=${PORT[$srv]:-}
    [[ $scen != tls* ]] || port=${TLSPORT[$srv]:-}
    if is_lmtp "$scen"; then
        port=${LPORT[$srv]:-} pid=${LPID[$srv]:-}
        LMTP_STORE=${LSTORE[$srv]:-} LMTP_SUFFIX=${LSUFFIX[$srv]:-}
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
        ERRORS=$((ERRORS + 1))
        printf '%s\t%s\t%s\tvalue=ERR\n' "$scen" "$srv" "$pair" >>"$RESULTS"
        log "$scen $srv run $pair skipped: the server (pid $pid) is gone"
        return
    fi
    if [ -z "$port" ]; then
        ERRORS=$((ERRORS + 1))
        printf '%s\t%s\t%s\tvalue=ERR\n' "$scen" "$srv" "$pair" >>"$RESULTS"
        log "$scen $srv run $pair skipped: the server has no TLS port"
        return
    fi
    if run_scenario "$scen" "$port" "$pid" "${XPID[$srv]:-}" &&
        line=$(grep -m1 '^RESULT' "$WORK/client.out"); then
        printf '%s\t%s\t%s\t%s\n' "$scen" "$srv" "$pair" "${line#RESULT }" >>"$RESULTS"
        log "$scen $srv run $pair: ${line#RESULT }"
    else
        ERRORS=$((ERRORS + 1))
        printf '%s\t%s\t%s\tvalue=ERR\n' "$scen" "$srv" "$pair" >>"$RESULTS"
        log "$scen $srv run $pair FAILED: $(tail -3 "$WORK/client.err")"
    fi
    [ ! -s "$WORK/client.err" ] || sed 's/^/[client] /' "$WORK/client.err" | head -5 >&2
    kill -0 "$pid" 2>/dev/null || log "$srv (pid $pid) DIED during $scen"
}

for scen in "${SCENARIOS[@]}"; do
    if [ "$scen" = slowreader ] || [ "$scen" = lmtpmem ]; then
        if serves drennik "$scen"; then measure "$scen" drennik 1; fi
        continue
    fi
    first=1
    [ "$MODE" = smoke ] && first=1 || first=0  # run 0: unmeasured warm-up
    for pair in $(seq "$first" "$PAIRS"); do
        for srv in "${SERVERS[@]}"; do
            if serves "$srv" "$scen"; then measure "$scen" "$srv" "$pair"; fi
        done
    done
done

{
    echo "Drennik benchmark  $(date -u '+%Y-%m-%d %H:%M UTC')  mode=$MODE pairs=$PAIRS" \
         "cores=$(nproc) commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo none)"
    echo "dovecot $(dovecot --version 2>/dev/null || echo -)  client checker ${CHECKER} MB/s" \
         " load average at start ${LOAD_START}, at end $(cut -d' ' -f1-3 /proc/loadavg)"
    awk -v servers="${SERVERS[*]}" -v mode="$MODE" -f "$BENCH/lib/report.awk" "$RESULTS"
    if [ "$WITH_DRENNIK" = 1 ]; then
        # The window's responsiveness over the whole run: how long a selector click posted
        # every 50 ms waited to be handled (Drennik's --probe-responsiveness).
        stop_pid "${SPID[drennik]}"
        probe=$(grep -o 'responsiveness clicks=.*' "$WORK/drennik.err" || true)
        worst=$(printf '%s' "$probe" | grep -o 'worst_ms=[0-9.]*' | cut -d= -f2)
        echo "window      ${probe#responsiveness }"
        if [ -n "$worst" ] && awk -v w="$worst" 'BEGIN { exit !(w < 100) }'; then
            printf 'TARGET %-10s  %-58s %8s  PASS\n' window "worst wait of a selector click < 100 ms" "${worst}ms"
        else
            printf 'TARGET %-10s  %-58s %8s  FAIL\n' window "worst wait of a selector click < 100 ms" "${worst:-none}"
        fi
    fi
} | tee "$LOGDIR/report.txt"
verdict=$(grep -c '^TARGET.*FAIL' "$LOGDIR/report.txt" || true)
bad=$(grep -c '^CHECK.*FAIL' "$LOGDIR/report.txt" || true)
[ "$ERRORS" -eq 0 ] && [ "$bad" -eq 0 ] || exit 1
[ "$verdict" -eq 0 ] || exit 2
