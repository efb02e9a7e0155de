#!/usr/bin/env bash
# Builds the Debian package from a configured build folder and prints its path on the last line.
# usage: tools/build_deb.sh BUILD_DIR
set -euo pipefail

die() {
    echo "build_deb: $*" >&2
    exit 1
}

[ $# -eq 1 ] || die "usage: tools/build_deb.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || die "'$1' is not a folder"
[ -f "$build/CPackConfig.cmake" ] || die "'$build' is not a configured build folder (no CPackConfig.cmake)"
for tool in cmake cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || die "$tool is missing (Debian: apt-get install cmake dpkg-dev)"
done

# cpack installs what is built; make sure that is current.
cmake --build "$build" >&2

out=$build/packages
rm -f "$out"/tolvane_*.deb
(cd "$build" && cpack -G DEB -B "$out") >&2 || die "cpack failed"
shopt -s nullglob
debs=("$out"/tolvane_*.deb)
[ ${#debs[@]} -eq 1 ] || die "expected one tolvane_*.deb in $out, found ${#debs[@]}"

dpkg-deb --field "${debs[0]}" Package Version Architecture Depends Installed-Size >&2
echo "${debs[0]}"
