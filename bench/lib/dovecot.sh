# Dovecot as the reference server: install from Debian, write a
# self-contained config in a temporary folder, start it in the foreground
# so that its master's PID is ours to stop. Sourced by run.sh.

dovecot_install() {
    if ! dpkg -s dovecot-pop3d dovecot-lmtpd >/dev/null 2>&1; then
        log "installing Dovecot's POP3 and LMTP servers from Debian"
        "$ROOT/scripts/install-deps.sh" --bench >"$WORK/apt.log" 2>&1 ||
            die "could not install dovecot-pop3d and dovecot-lmtpd (see $WORK/apt.log)"
    fi
    stop_system_pop3
}

# The package may start the system Dovecot on port 110: stop it by its PID.
stop_system_pop3() {
    local pid comm
    for pid in $(ss -Hltnp 'sport = :110' 2>/dev/null | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
        comm=$(cat "/proc/$pid/comm" 2>/dev/null || true)
        [ "$comm" = dovecot ] || { log "port 110 is held by '$comm' (pid $pid), left alone"; continue; }
        log "stopping the system Dovecot listening on port 110 (pid $pid)"
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    done
}

# dovecot_config DIR MAILROOT PORT VARIANT(installed|reuse) TLSPORT
dovecot_config() {
    local dir=$1 mail=$2 port=$3 variant=$4 tlsport=$5 u
    mkdir -p "$dir"
    # Password = user name; mail processes refuse root, so all run as nobody.
    : >"$dir/passwd"
    for u in $(ls "$mail"); do
        printf '%s:{PLAIN}%s:65534:65534::%s/%s::\n' "$u" "$u" "$mail" "$u" >>"$dir/passwd"
    done
    chmod 644 "$dir/passwd"
    chown -R nobody:nogroup "$mail"
    cat >"$dir/dovecot.conf" <<EOF
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = pop3
listen = 127.0.0.1
# TLS with the certificate Drennik serves; TLS 1.3 is what the client negotiates.
ssl = yes
ssl_cert = <$TLS_CERT
ssl_key = <$TLS_KEY
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = no
auth_mechanisms = plain
mail_location = maildir:~/Maildir
namespace inbox {
  inbox = yes
}
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $dir/passwd
}
# Defaults (10 per user and address, 100 processes, 1000 clients) would refuse
# the concurrent scenario, the quick reconnects of the sequential one and the
# idle ones: 10,000 connections of one user, two thirds logged in, each of
# those a pop3 process of its own, and all of them clients of anvil, stats and
# the log.
protocol pop3 {
  mail_max_userip_connections = 20000
}
default_process_limit = 400
default_client_limit = 25000
service pop3 {
  process_limit = 12000
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $port
  }
  inet_listener pop3s {
    address = 127.0.0.1
    port = $tlsport
    ssl = yes
  }
}
EOF
    if [ "$variant" = reuse ]; then
        # Process reuse: long-lived, prestarted login and pop3 processes.
        cat >>"$dir/dovecot.conf" <<EOF
service pop3-login {
  service_count = 0
  process_min_avail = $(nproc)
}
service pop3 {
  service_count = 0
  process_min_avail = 4
}
EOF
    fi
}

# dovecot_start DIR PORT [lmtp] -> sets DOVECOT_PID once it answers (a POP3 greeting, or with
# "lmtp" an LMTP one)
dovecot_start() {
    local dir=$1 port=$2 probe=()
    [ "${3:-}" != lmtp ] || probe=(--lmtp 1)
    dovecot -F -c "$dir/dovecot.conf" >"$dir/stdout.log" 2>&1 &
    DOVECOT_PID=$!
    track_pid "$DOVECOT_PID"
    "$CLIENT" probe "${probe[@]}" --port "$port" --wait-ms 15000 ||
        die "Dovecot did not answer on port $port; log: $(tail -5 "$dir/dovecot.log" "$dir/stdout.log" 2>/dev/null)"
}

# dovecot_lmtp_config DIR MAILROOT PORT VARIANT(installed|reuse): a Dovecot of its own for
# the delivery scenarios, serving LMTP only. Any recipient is a user (static userdb, one uid):
# USER@DOMAIN gets MAILROOT/USER/Maildir.
dovecot_lmtp_config() {
    local dir=$1 mail=$2 port=$3 variant=$4
    mkdir -p "$dir" "$mail"
    chown nobody:nogroup "$mail"
    cat >"$dir/dovecot.conf" <<EOF2
base_dir = $dir/run
state_dir = $dir/state
log_path = $dir/dovecot.log
protocols = lmtp
listen = 127.0.0.1
ssl = no
mail_location = maildir:~/Maildir
namespace inbox {
  inbox = yes
}
# Dovecot's default: each message file is fsynced before it is renamed into new/ (index
# files are not), as Drennik syncs every delivery.
mail_fsync = optimized
passdb {
  driver = static
  args = nopassword=y
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=$mail/%n allow_all_users=yes
}
# 20 concurrent senders: one lmtp process each (client_limit 1), all clients of anvil,
# stats and the log.
default_process_limit = 400
default_client_limit = 25000
service lmtp {
  inet_listener lmtp {
    address = 127.0.0.1
    port = $port
  }
}
EOF2
    if [ "$variant" = reuse ]; then
        # lmtp processes are reused by default (service_count = 0); this prestarts a few.
        cat >>"$dir/dovecot.conf" <<EOF2
service lmtp {
  process_min_avail = 4
}
EOF2
    fi
}

