#!/usr/bin/env bash
# Builds the Debian package from a build tree, unpacks it into a scratch root (dpkg-deb -x, no
# installation) and checks what a user gets: both programs run and state the project's version,
# both manual pages render without a warning, and the dependencies were computed from the
# binaries' libraries.
#
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail
build_dir="$1"
version="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

if ! cpack --config "$build_dir/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
debs=("$scratch"/out/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, found: ${debs[*]}"; exit 1; }
deb="${debs[0]}"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for library in libavcodec libavformat libxcb libpulse libcairo libxcursor libatspi; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"

dpkg-deb -x "$deb" "$scratch/root"
for program in recorder-agent pointer-agent; do
  binary="$scratch/root/usr/bin/$program"
  [ -x "$binary" ] || { fail "$program is not in usr/bin"; continue; }
  # Without DISPLAY: --version must answer before anything looks for a desktop.
  answer="$(env -u DISPLAY "$binary" --version)" || fail "$program --version failed"
  [ "$answer" = "$program $version" ] || fail "$program --version said '$answer'"

  page="$scratch/root/usr/share/man/man1/$program.1"
  [ -f "$page" ] || { fail "no manual page $page"; continue; }
  warnings="$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)" || fail "man cannot render $page"
  [ -z "$warnings" ] || fail "man warns about $program.1: $warnings"
  rendered="$(MANWIDTH=80 man -l "$page" 2>/dev/null)"
  grep -q "^NAME" <<<"$rendered" || fail "$program.1 renders without a NAME section"
  grep -q -- "--version" <<<"$rendered" || fail "$program.1 does not document --version"
done

[ "$failures" -eq 0 ] || exit 1
echo "package $(basename "$deb") checked"
