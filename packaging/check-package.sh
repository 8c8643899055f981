#!/usr/bin/env bash
# Checks a built busprobe .deb as CI does: its file list and dependencies,
# lintian (errors fail), and the programs run from the unpacked package.
# Usage: packaging/check-package.sh busprobe_<version>_<arch>.deb VERSION
set -euo pipefail
deb=$1
version=$2
fail() { echo "check-package: $*" >&2; exit 1; }

echo "== dpkg-deb --info"
dpkg-deb --info "$deb"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb --field "$deb" Depends)
for dep in libc6 libstdc++6 libqt6widgets6 fonts-ipafont-gothic qt6-qpa-plugins; do
  [[ ", $depends," == *", $dep"[\ ,]* ]] || fail "Depends lacks $dep: $depends"
done

echo "== dpkg-deb --contents"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for path in \
    usr/bin/busprobe usr/bin/busprobe-cli usr/bin/busprobe-sim \
    usr/share/applications/busprobe.desktop \
    usr/share/icons/hicolor/256x256/apps/busprobe.png \
    usr/share/man/man1/busprobe.1.gz usr/share/man/man1/busprobe-cli.1.gz usr/share/man/man1/busprobe-sim.1.gz \
    usr/share/doc/busprobe/README.md usr/share/doc/busprobe/copyright usr/share/doc/busprobe/changelog.gz; do
  grep -q " \./$path\$" <<<"$contents" || fail "the package lacks /$path"
done
! grep -vE ' \./(usr/((bin|share/(applications|icons|man|doc))(/.*)?|share/)?)?$' <<<"$contents" ||
  fail "files outside the expected folders"

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 --display-info "$deb"

echo "== the unpacked programs"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/busprobe.desktop"
cd "$root"  # any dated log lands here, not in the source tree
got=$("$root/usr/bin/busprobe-cli" --version)
[ "$got" = "busprobe-cli $version" ] || fail "busprobe-cli --version said '$got'"
[ "$("$root/usr/bin/busprobe-sim" --version)" = "busprobe-sim $version" ] || fail "busprobe-sim --version"
[ "$("$root/usr/bin/busprobe" --version)" = "busprobe $version" ] || fail "busprobe --version"
got=$("$root/usr/bin/busprobe-cli" -p SIM cv read 29 --mode direct)
[ "$got" = "CV 29 = 6 (0x06, 00000110)" ] || fail "busprobe-cli -p SIM cv read 29 said '$got'"
echo "$got"
echo "check-package: $deb is fine"
