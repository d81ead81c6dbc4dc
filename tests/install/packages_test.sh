#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the Debian packages of the build and checks what Debian asks of them:
# lintian finds nothing, each has its licence and changelog, the programs are
# hardened, the service's sandbox rates "OK" or better, and a purge takes the
# links of an enabled service with it. Tools that are missing skip their checks.
# usage: packages_test.sh BUILD_DIR VERSION
set -uo pipefail
build=$1 version=$2

root=$(mktemp -d "${TMPDIR:-/tmp}/gorvane_packages.XXXXXX")
trap 'rm -rf "$root"' EXIT

source "$(dirname "$0")/checks.sh"

if ! command -v dpkg-deb >/dev/null || ! command -v dpkg-shlibdeps >/dev/null; then
  skip "dpkg-dev is not installed: no packages"
  finish
  exit
fi
if ! cpack --config "$build/CPackConfig.cmake" -B "$root/out" >"$root/cpack.log" 2>&1; then
  cat "$root/cpack.log"
  echo "0 passed, 1 failed"
  exit 1
fi
debs=()
for package in gorvane gorvane-server gorvane-data; do
  deb=$(echo "$root/out/${package}_${version}"_*.deb)
  check "$package is made" test -f "$deb"
  debs+=("$deb")
  dpkg-deb -x "$deb" "$root/$package"
  doc=$root/$package/usr/share/doc/$package
  check "$package has its copyright" grep -q '^License: GPL-3+' "$doc/copyright"
  check "$package's changelog is of this version" \
    test "$(zcat "$doc/changelog.gz" 2>/dev/null | head -n 1)" = "gorvane ($version) unstable; urgency=medium"
done

# Where each program is, and its manual page beside it.
while read -r package program; do
  check "$program is installed" test -x "$root/$package/$program"
  check "$program has its manual page" test -s "$root/$package/usr/share/man/man6/${program##*/}.6.gz"
done <<PROGRAMS
gorvane usr/games/gorvane
gorvane-server usr/bin/gorvane-server
gorvane-server usr/bin/gorvane-bot
PROGRAMS
check "the client depends on a font with Japanese glyphs" \
  grep -q 'fonts-noto-cjk | fonts-ipafont-gothic | fonts-vlgothic' <(dpkg-deb -f "${debs[0]}" Depends)

# Hardened as Debian's own: position-independent, relocations read-only and
# bound at start, stack checks, and glibc's checked functions.
hardened_check() {  # hardened_check ELF
  local headers symbols
  headers=$(readelf -lhd "$1") && symbols=$(readelf --dyn-syms -W "$1") &&
    grep -q 'Type: *DYN' <<<"$headers" && grep -q GNU_RELRO <<<"$headers" &&
    grep -q 'FLAGS.*NOW' <<<"$headers" && grep -q __stack_chk_fail <<<"$symbols" &&
    grep -q '__[a-z]*_chk@' <<<"$symbols"
}
for program in gorvane/usr/libexec/gorvane/gorvane gorvane-server/usr/bin/gorvane-server \
  gorvane-server/usr/bin/gorvane-bot; do
  check "${program##*/} is hardened" hardened_check "$root/$program"
done

if command -v lintian >/dev/null; then
  # lintian warns on standard error when run as root; that is not about the packages.
  lintian --pedantic "${debs[@]}" >"$root/lintian.log" 2>/dev/null
  check "lintian --pedantic finds nothing" test ! -s "$root/lintian.log"
  cat "$root/lintian.log"
else
  skip "lintian is not installed"
fi

unit=$root/gorvane-server/usr/lib/systemd/system/gorvane-server.service
if command -v systemd-analyze >/dev/null; then
  exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "the service's exposure: ${exposure:-none}"
  check "the service's exposure is at most 2.5" awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }'
  # Every line is understood; the unit starts the server unpacked here.
  sed "s|/usr/bin/gorvane-server|$root/gorvane-server&|" "$unit" >"$root/gorvane-server.service"
  check "systemd-analyze verify accepts the service" \
    test -z "$(systemd-analyze verify --man=no "$root/gorvane-server.service" 2>&1)"
else
  skip "systemd-analyze is not installed"
fi

# The host enables the service, then the package is removed and purged: no
# link may be left behind. The maintainer scripts run on the unpacked tree.
if command -v deb-systemd-helper >/dev/null && command -v systemctl >/dev/null; then
  tree=$root/gorvane-server control=$root/control
  dpkg-deb -e "${debs[1]}" "$control"
  link=$tree/etc/systemd/system/multi-user.target.wants/gorvane-server.service
  maintainer() {  # maintainer SCRIPT ARGUMENT: as dpkg runs it, on the tree
    DPKG_ROOT=$tree DPKG_MAINTSCRIPT_PACKAGE=gorvane-server DPKG_MAINTSCRIPT_NAME=$1 \
      sh -e "$control/$1" "$2" >/dev/null 2>&1
  }
  maintainer postinst configure && systemctl --root="$tree" enable gorvane-server.service >/dev/null 2>&1
  check "the host can enable the service" test -L "$link"
  maintainer prerm remove && rm "$unit" && maintainer postrm remove && maintainer postrm purge
  check "a purge leaves no link of the service" test ! -L "$link"
else
  skip "deb-systemd-helper or systemctl is not installed"
fi

finish
