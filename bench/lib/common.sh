# Logging and process bookkeeping shared by the harness. Every process the
# harness starts is recorded here and stopped by its PID on exit.

PIDS=()

log() { printf '[bench] %s\n' "$*" >&2; }
die() { printf '[bench] ERROR: %s\n' "$*" >&2; exit 1; }

track_pid() { PIDS+=("$1"); }

# raise_fd_limit N: open-file limit of this shell (inherited by the client and both servers)
# to at least N, or as high as the hard limit allows; dies when that is not enough.
raise_fd_limit() {
    local want=$1
    [ "$(ulimit -Hn)" = unlimited ] || [ "$(ulimit -Hn)" -ge "$want" ] ||
        ulimit -Hn "$want" 2>/dev/null || true  # needs CAP_SYS_RESOURCE
    ulimit -Sn "$(ulimit -Hn)" 2>/dev/null || true
    [ "$(ulimit -Sn)" = unlimited ] || [ "$(ulimit -Sn)" -ge "$want" ] ||
        die "open-file limit $(ulimit -Sn) (hard $(ulimit -Hn)) is below the $want the chosen scenarios need"
}

stop_pid() {
    local pid=$1
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    log "pid $pid ignored TERM for 10 s, killing it"
    kill -KILL "$pid" 2>/dev/null || true
}

# Processes whose stdout is FILE: children of a server we started (Dovecot's
# keep it), which can outlive their master.
stop_by_stdout() {
    local file=$1 p
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/fd/1" 2>/dev/null)" = "$file" ] || continue
        log "stopping leftover ${p#/proc/} ($(cat "$p/comm" 2>/dev/null))"
        stop_pid "${p#/proc/}"
    done
}

cleanup() {
    local rc=$? pid f
    trap - EXIT INT TERM
    [ -z "${RUNNING_PID:-}" ] || stop_pid "$RUNNING_PID"  # a client run
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    for f in "${WORK:-/nonexistent}"/*/stdout.log; do [ -f "$f" ] && stop_by_stdout "$f"; done
    if [ -n "${WORK:-}" ] && [ -d "$WORK" ]; then
        # Server logs outlive the temporary folder.
        for f in "$WORK"/*/dovecot.log; do
            [ -f "$f" ] && cp "$f" "$LOGDIR/$(basename "$(dirname "$f")").log"
        done
        for f in "$WORK"/drennik*.out "$WORK"/drennik*.err "$WORK"/reference.* "$WORK"/xvfb.log; do
            [ -f "$f" ] && cp "$f" "$LOGDIR/"
        done
        if [ "${KEEP:-0}" = 1 ]; then log "kept $WORK"; else rm -rf "$WORK"; fi
    fi
    exit "$rc"
}
