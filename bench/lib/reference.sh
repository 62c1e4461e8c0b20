# The reference responder (pop3ref) and Drennik with its windows shown under Xvfb.
# Sourced by run.sh.

# reference_start -> sets REFERENCE_PID, REFERENCE_PORT. Its STAT matches the sessions
# maildrop (5 messages of 2048 bytes); RETR sends the wire form of the retr64 message, which it
# prepares at start, when that scenario is chosen.
reference_start() {
    local args=(--stat "5 10240") f=$WORK/drennik/big/000001.msg
    [ ! -f "$f" ] || args+=(--message "$f" --wire-dir "$WORK")
    "$REFERENCE" "${args[@]}" >"$WORK/reference.out" 2>"$WORK/reference.err" &
    REFERENCE_PID=$!
    track_pid "$REFERENCE_PID"
    REFERENCE_PORT=
    for _ in $(seq 300); do
        REFERENCE_PORT=$(grep -o -m1 'listening on port [0-9]*' "$WORK/reference.out" 2>/dev/null |
                         grep -o '[0-9]*$' || true)
        [ -n "$REFERENCE_PORT" ] && break
        kill -0 "$REFERENCE_PID" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$REFERENCE_PORT" ] ||
        die "the reference responder did not start: $(tail -3 "$WORK/reference.err")"
}

# xvfb_start -> sets XVFB_PID and XVFB_DISPLAY (a free display number that Xvfb picks).
xvfb_start() {
    local numfile=$WORK/xvfb.display n=
    # -noreset: an X server resets when its last client leaves, and a client that connects
    # meanwhile (Qt, right after Drennik's own check of the display) is refused.
    Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$numfile" \
        >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    track_pid "$XVFB_PID"
    for _ in $(seq 100); do
        n=$(tr -dc 0-9 <"$numfile" 2>/dev/null || true)
        [ -n "$n" ] && xdpyinfo -display ":$n" >/dev/null 2>&1 && break
        kill -0 "$XVFB_PID" 2>/dev/null || break
        n=
        sleep 0.1
    done
    [ -n "$n" ] || die "Xvfb did not start: $(tail -3 "$WORK/xvfb.log")"
    XVFB_DISPLAY=:$n
}

# drennik_x11_start ROOTDIR -> DRENNIK_X11_PID, DRENNIK_X11_PORT: a second Drennik with both
# windows shown (mapped and viewable) on Xvfb, no window manager.
drennik_x11_start() {
    local windows=0 w
    xvfb_start
    drennik_start "$1" drennik-x11 "$XVFB_DISPLAY"
    DRENNIK_X11_PID=$DRENNIK_PID DRENNIK_X11_PORT=$DRENNIK_PORT
    for _ in $(seq 100); do
        windows=0
        for w in $(DISPLAY=$XVFB_DISPLAY xwininfo -root -tree 2>/dev/null |
                   grep -E '"(Drennik|Falquor Dialog)"' | awk '{print $1}'); do
            DISPLAY=$XVFB_DISPLAY xwininfo -id "$w" 2>/dev/null | grep -q 'IsViewable' &&
                windows=$((windows + 1))
        done
        [ "$windows" -ge 2 ] && break
        sleep 0.1
    done
    [ "$windows" -ge 2 ] || die "Drennik under Xvfb shows $windows of its 2 windows"
}
