# Building Drennik (Release, own tree) and the client, and starting Drennik.
# Sourced by run.sh.

# Sets CLIENT (and DRENNIK unless given): the whole project in Release when
# Drennik is measured, otherwise the client alone.
build_all() {
    if [ "$WITH_DRENNIK" = 1 ] && [ -z "$DRENNIK" ]; then
        log "building Drennik in Release ($RELEASE_DIR)"
        { cmake -S "$ROOT" -B "$RELEASE_DIR" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
          cmake --build "$RELEASE_DIR" -j2; } >"$LOGDIR/build.log" 2>&1 ||
            { tail -30 "$LOGDIR/build.log" >&2; die "Release build failed (see $LOGDIR/build.log)"; }
        DRENNIK=$RELEASE_DIR/drennik
        CLIENT=$RELEASE_DIR/bench/pop3bench
    fi
    if [ -z "${CLIENT:-}" ] || [ ! -x "$CLIENT" ]; then
        log "building the bench client alone ($ROOT/build-bench)"
        { cmake -S "$BENCH" -B "$ROOT/build-bench" -DCMAKE_BUILD_TYPE=Release &&
          cmake --build "$ROOT/build-bench" -j2; } >"$LOGDIR/build-client.log" 2>&1 ||
            { tail -30 "$LOGDIR/build-client.log" >&2; die "client build failed"; }
        CLIENT=$ROOT/build-bench/pop3bench
    fi
    REFERENCE=$(dirname "$CLIENT")/pop3ref
    [ -x "$REFERENCE" ] || die "no reference responder at $REFERENCE"
    if [ "$WITH_DRENNIK" = 1 ]; then
        [ -x "$DRENNIK" ] || die "no Drennik executable at $DRENNIK"
    fi
}

# drennik_start ROOTDIR [NAME DISPLAY] -> sets DRENNIK_PID, DRENNIK_PORT, DRENNIK_TLS_PORT (empty
# without TLS), DRENNIK_LMTP_PORT (empty without LMTP). NAME (default drennik) names its output files in $WORK. Without DISPLAY it runs
# headless, with the responsiveness probe; with one, it shows both its windows there, and runs
# without the probe, whose clicks every 50 ms would repaint them.
drennik_start() {
    local root=$1 name=${2:-drennik} display=${3:-} limits=() help env=(QT_QPA_PLATFORM=offscreen)
    # Connection limits, where this build has them, must not cap the idle scenarios.
    help=$("$DRENNIK" --help 2>&1 || true)
    [[ $help != *--max-per-address* ]] || limits+=(--max-per-address 0)
    [[ $help != *--max-connections* ]] || limits+=(--max-connections 0)
    # TLS, where this build has it, on a second port.
    [[ $help != *--pop3s-port* ]] ||
        limits+=(--tls-cert "$TLS_CERT" --tls-key "$TLS_KEY" --pop3s-port 0)
    # LMTP, where this build has it: every new recipient gets a folder, and a size limit that
    # lets lmtpmem's message through.
    [[ $help != *--lmtp-port* ]] ||
        limits+=(--lmtp-port 0 --create-maildrops --max-message-size $((LMTP_MEM_SIZE * 2)))
    # Run by root, the server serves a root-owned root only when told to stay root.
    [ "$(id -u)" -ne 0 ] || limits+=(--user root)
    if [ -n "$display" ]; then
        env=(-u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY="$display")
    else
        limits+=(--probe-responsiveness)
    fi
    env "${env[@]}" "$DRENNIK" --port 0 --root "$root" --idle-timeout 600 "${limits[@]}" \
        >"$WORK/$name.out" 2>"$WORK/$name.err" &
    DRENNIK_PID=$!
    track_pid "$DRENNIK_PID"
    DRENNIK_PORT=
    for _ in $(seq 150); do
        DRENNIK_PORT=$(grep -o -m1 'listening on port [0-9]*' "$WORK/$name.out" 2>/dev/null |
                       grep -o '[0-9]*$' || true)
        [ -n "$DRENNIK_PORT" ] && break
        kill -0 "$DRENNIK_PID" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$DRENNIK_PORT" ] ||
        die "Drennik printed no 'listening on port N' within 15 s; stderr: $(tail -5 "$WORK/$name.err")"
    "$CLIENT" probe --port "$DRENNIK_PORT" --wait-ms 10000 || die "Drennik did not greet"
    DRENNIK_TLS_PORT=$(grep -o -m1 'listening on TLS port [0-9]*' "$WORK/$name.out" |
                       grep -o '[0-9]*$' || true)
    DRENNIK_LMTP_PORT=$(grep -o -m1 'listening on LMTP port [0-9]*' "$WORK/$name.out" |
                        grep -o '[0-9]*$' || true)
}
