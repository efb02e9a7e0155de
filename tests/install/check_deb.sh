#!/usr/bin/env bash
# Builds the .deb and checks it without installing it: its fields, its files, and that the
# programs it carries start.
# usage: tests/install/check_deb.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$("$here/../../tools/build_deb.sh" "$1" | tail -n 1)
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libqt6serialport6 libqt6network6 libqt6widgets6 libqt6dbus6 fonts-liberation2; do
    case "$depends" in *"$lib"*) ;; *) echo "check_deb: Depends lacks $lib: $depends" >&2; exit 1 ;; esac
done
recommends=$(dpkg-deb --field "$deb" Recommends)
case "$recommends" in *qt6-wayland*) ;; *) echo "check_deb: Recommends lacks qt6-wayland: $recommends" >&2; exit 1 ;; esac
send_module=usr/$(sed -n 's/^send-module=//p' "$1/install_contents.txt")
for file in usr/bin/tolvane usr/bin/tolvane-projector usr/bin/tolvane-send "$send_module" usr/share/man/man1/tolvane.1.gz \
    usr/share/man/man1/tolvane-send.1.gz usr/share/bash-completion/completions/tolvane-send \
    usr/share/doc/tolvane/copyright usr/share/dbus-1/interfaces/io.github.tolvane.Tolvane.xml; do
    [ -e "$unpacked/$file" ] || { echo "check_deb: $file missing from $deb" >&2; exit 1; }
done
"$unpacked/usr/bin/tolvane-projector" --help >/dev/null
"$unpacked/usr/bin/tolvane" --version
env -u DISPLAY -u WAYLAND_DISPLAY "$unpacked/usr/bin/tolvane-send" --version
# A device server's address: the module is found and loaded (nothing listens on port 1).
out=$(env TOLVANE_COM1=/nonexistent/com1 TOLVANE_COM2=/nonexistent/com2 TOLVANE_COM3=/nonexistent/com3 \
    TOLVANE_COM4=/nonexistent/com4 "$unpacked/usr/bin/tolvane-send" --direct --port tcp://127.0.0.1:1 mute 2>&1) || true
case "$out" in *"tcp://127.0.0.1:1: Connection refused"*) ;; *) echo "check_deb: tolvane-send's module: $out" >&2; exit 1 ;; esac
echo "check_deb: $deb is sound"
