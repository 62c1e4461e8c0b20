#!/usr/bin/env bash
# Builds the Debian package build-package/drennik_VERSION_amd64.deb with CPack, then checks it:
# the desktop entry, the manual page, the systemd unit and lintian. VERSION is the CMake
# project version. JOBS (default 2) bounds the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=build-package
# Debian's hardening flags (fortify, stack protector, relro, bindnow) on top of Release.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" --target drennik drennik_package_files -j"${JOBS:-2}"
rm -f "$build"/drennik_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/drennik_*_amd64.deb)
echo "== built $deb =="

echo "== checks =="
desktop-file-validate packaging/drennik.desktop
MANWIDTH=80 man --warnings -l "$build/packaging/drennik.1" 2>&1 >/dev/null | { ! grep .; }
# The unit as installed, but pointing at the packaged binary, which is not in /usr/bin here.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
sed "s|/usr/bin/drennik|$unpacked/usr/bin/drennik|" "$unpacked/lib/systemd/system/drennik.service" \
    >"$unpacked/drennik.service"
systemd-analyze verify --man=no "$unpacked/drennik.service"
# The check before the start reads exactly what the start will.
unit=$(sed -e ':a' -e '/\\$/{N;s/\\\n//;ba' -e '}' packaging/drennik.service | tr -s ' ')
check=$(sed -n 's|^ExecStartPre=/usr/bin/drennik --check ||p' <<<"$unit")
run=$(sed -n 's|^ExecStart=/usr/bin/drennik ||p' <<<"$unit")
[ -n "$run" ] && [ "$check" = "$run" ] ||
    { echo "the unit's --check and ExecStart differ: '$check' / '$run'"; exit 1; }
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
# Exit status 2 is lintian's own failure; errors (E:) fail the check, warnings are shown.
lintian --fail-on error "$deb"
# What a person installing it expects to find.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/drennik ./usr/share/applications/drennik.desktop \
        ./usr/share/icons/hicolor/scalable/apps/drennik.svg \
        ./usr/share/icons/hicolor/48x48/apps/drennik.png \
        ./usr/share/icons/hicolor/256x256/apps/drennik.png \
        ./usr/share/man/man1/drennik.1.gz ./lib/systemd/system/drennik.service \
        ./etc/default/drennik ./etc/drennik/drennik.conf ./usr/share/doc/drennik/copyright \
        ./usr/share/doc/drennik/changelog.Debian.gz \
        ./etc/fail2ban/filter.d/drennik.conf ./etc/fail2ban/jail.d/drennik.conf; do
    grep -qx "$path" <<<"$contents" || { echo "missing from the package: $path"; exit 1; }
done
echo "package OK: $deb"
