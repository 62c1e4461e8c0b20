#!/usr/bin/env bash
# Installs what building, running and testing Drennik needs on Debian 12 (with --bench, also
# what the benchmarks need). Idempotent: when everything is present it only checks, in about a
# second.
set -euo pipefail

packages=(g++ cmake make qt6-base-dev libgtest-dev libgmock-dev libbenchmark-dev
          clang-14 libclang-rt-14-dev clang-format fonts-liberation curl python3
          libssl-dev libcrypt-dev openssl ca-certificates fetchmail mpop getmail6
          xvfb openbox imagemagick x11-utils
          librsvg2-bin gzip desktop-file-utils man-db dpkg-dev fakeroot lintian mmdebstrap
          systemd-container procps fail2ban swaks postfix haproxy msmtp)
# With --bench: what bench/run.sh measures Drennik against (Dovecot's POP3 and LMTP servers).
bench_packages=(dovecot-pop3d dovecot-lmtpd)
[ "${1:-}" != --bench ] || packages+=("${bench_packages[@]}")
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get -o DPkg::Lock::Timeout=600 update -q
# Postfix is a test peer only: installed unconfigured, so it starts no mail service of its own.
echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q \
    --no-install-recommends "${missing[@]}"
