#!/usr/bin/env bash
# Installs a build into a scratch folder and checks what lands there: every file we ship and
# nothing else, the icon sizes, the desktop entry and the AppStream file through their
# validators, the man pages through groff, and the installed program itself.
# usage: tests/install/check_install.sh BUILD_DIR
set -uo pipefail

app_id=io.github.tolvane.Tolvane
here=$(cd "$(dirname "$0")/../.." && pwd)
failures=0

die() {
    echo "check_install: $*" >&2
    exit 1
}
fail() {
    echo "check_install: FAIL: $*" >&2
    failures=$((failures + 1))
}

[ $# -eq 1 ] || die "usage: tests/install/check_install.sh BUILD_DIR"
build=$1
[ -f "$build/CMakeCache.txt" ] || die "'$build' is not a configured build folder (no CMakeCache.txt)"
[ -f "$build/install_contents.txt" ] ||
    die "'$build/install_contents.txt' is missing; configure the build again with cmake"
for tool in cmake desktop-file-validate appstreamcli groff gzip lexgrog od; do
    command -v "$tool" >/dev/null ||
        die "$tool is missing (Debian: apt-get install cmake desktop-file-utils appstream groff-base gzip man-db coreutils)"
done

# The simulator is installed by its own rules, only in builds that have it.
case "$(grep -x 'tolvane-projector=[01]' "$build/install_contents.txt")" in
    tolvane-projector=1) with_projector=1 ;;
    tolvane-projector=0) with_projector=0 ;;
    *) die "'$build/install_contents.txt' does not say whether tolvane-projector is built" ;;
esac

send_module=$(sed -n 's/^send-module=//p' "$build/install_contents.txt")
[ -n "$send_module" ] || die "'$build/install_contents.txt' does not say where tolvane-send's module goes"

stage=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-install.XXXXXX") || die "cannot make a staging folder"
trap 'rm -rf "$stage"' EXIT
prefix=$stage/usr
# DESTDIR keeps even a rule with an absolute destination inside the scratch folder.
if ! log=$(DESTDIR=$stage cmake --install "$build" --prefix /usr 2>&1); then
    printf '%s\n' "$log" >&2
    die "cmake --install $build failed"
fi

# ---------------------------------------------------------------- what must be there

hicolor=share/icons/hicolor
expected=(
    bin/tolvane
    bin/tolvane-send
    "$send_module"
    share/bash-completion/completions/tolvane-send
    share/man/man1/tolvane-send.1.gz
    "share/applications/$app_id.desktop"
    "share/metainfo/$app_id.metainfo.xml"
    "share/dbus-1/interfaces/$app_id.xml"
    "$hicolor/scalable/apps/$app_id.svg"
    share/man/man1/tolvane.1.gz
    share/doc/tolvane/copyright
)
icon_sizes=(16 32 48 64 128 256)
for size in "${icon_sizes[@]}"; do expected+=("$hicolor/${size}x$size/apps/$app_id.png"); done
programs=(tolvane tolvane-send)
if [ "$with_projector" = 1 ]; then
    expected+=(bin/tolvane-projector share/man/man1/tolvane-projector.1.gz)
    programs+=(tolvane-projector)
fi

for file in "${expected[@]}"; do
    if [ ! -f "$prefix/$file" ]; then fail "not installed: $file"
    elif [ ! -s "$prefix/$file" ]; then fail "installed but empty: $file"; fi
done
for program in "${programs[@]}"; do
    [ ! -f "$prefix/bin/$program" ] || [ -x "$prefix/bin/$program" ] || fail "not executable: bin/$program"
done

# Anything else would end up in the package unnoticed.
while IFS= read -r file; do
    found=0
    for wanted in "${expected[@]}"; do [ "$file" = "$wanted" ] && found=1 && break; done
    [ "$found" = 1 ] || fail "installed but not expected: $file"
done < <(cd "$prefix" && find . -mindepth 1 \( -type f -o -type l \) -printf '%P\n' | sort)
[ -z "$(cd "$stage" && find . -mindepth 1 -maxdepth 1 ! -name usr)" ] ||
    fail "files installed outside the prefix: $(cd "$stage" && find . -mindepth 1 -maxdepth 1 ! -name usr)"

# ---------------------------------------------------------------- icons

be32() { od -An -tu1 -j "$2" -N 4 "$1" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }'; }
for size in "${icon_sizes[@]}"; do
    png=$prefix/$hicolor/${size}x$size/apps/$app_id.png
    [ -f "$png" ] || continue
    if [ "$(od -An -tx1 -N 8 "$png" | tr -d ' \n')" != 89504e470d0a1a0a ]; then
        fail "${size}x$size icon is not a PNG"
    elif [ "$(be32 "$png" 16)x$(be32 "$png" 20)" != "${size}x$size" ]; then
        fail "${size}x$size icon is $(be32 "$png" 16)x$(be32 "$png" 20) pixels"
    fi
done
svg=$prefix/$hicolor/scalable/apps/$app_id.svg
[ -f "$svg" ] && ! grep -q '<svg[^>]*viewBox=' "$svg" && fail "scalable icon is not an SVG with a viewBox"

# ---------------------------------------------------------------- desktop entry, AppStream

desktop=$prefix/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    # Errors and warnings fail; hints are only shown.
    out=$(desktop-file-validate "$desktop" 2>&1)
    status=$?
    problems=$(printf '%s\n' "$out" | grep -v ': hint: ' | grep -v '^$')
    if [ "$status" != 0 ] || [ -n "$problems" ]; then fail "desktop-file-validate: $out"; fi
    [ -z "$out" ] || [ -n "$problems" ] || echo "check_install: desktop-file-validate: $out"
    exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ "$exec_cmd" = tolvane ] || fail "desktop entry runs '$exec_cmd', not tolvane"
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    [ "$icon" = "$app_id" ] || fail "desktop entry names icon '$icon', installed as $app_id"
fi

metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    # --strict: a warning or an info fails too (pedantic hints, such as the capitals the
    # application id shares with the desktop entry, do not).
    out=$(appstreamcli validate --no-net --strict "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
    grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "metainfo names no MIT licence"
    # The tree check also finds the desktop entry the metainfo launches.
    out=$(appstreamcli validate-tree --no-net "$stage" 2>&1) || fail "appstreamcli validate-tree: $out"
    grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id is not $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $app_id.desktop"
fi

# ---------------------------------------------------------------- the program

# It must start from where it was installed. --version returns before any port is opened, and
# every Comm item points into the scratch folder all the same.
version=$(env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$stage" \
    TOLVANE_COM1="$stage/no-port" TOLVANE_COM2="$stage/no-port" \
    TOLVANE_COM3="$stage/no-port" TOLVANE_COM4="$stage/no-port" \
    timeout 20 "$prefix/bin/tolvane" --version 2>/dev/null | sed -n 's/^tolvane \([0-9][0-9.]*\)$/\1/p')
[ -n "$version" ] || fail "installed tolvane --version does not print 'tolvane <version>'"
# tolvane-send needs no display at all, nor Qt Widgets.
env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 "$prefix/bin/tolvane-send" --version |
    grep -qx "tolvane-send $version" || fail "installed tolvane-send --version does not print 'tolvane-send $version'"
if command -v objdump >/dev/null; then
    # The loader finds Qt where the system keeps it, never first beside the program.
    for program in "${programs[@]}"; do
        objdump -p "$prefix/bin/$program" | grep -qE '^ *(RUNPATH|RPATH) ' && fail "bin/$program has a RUNPATH"
    done
    # Nor, straight to a device, Qt Network or Qt D-Bus: those come with its module.
    for lib in $(objdump -p "$prefix/bin/tolvane-send" | grep NEEDED | grep -oE 'Qt6(Widgets|Network|DBus)'); do
        fail "tolvane-send links $lib"
    done
fi
# A device server's address loads the module from where it was installed.
out=$(env TOLVANE_COM1="$stage/no-port" TOLVANE_COM2="$stage/no-port" TOLVANE_COM3="$stage/no-port" \
    TOLVANE_COM4="$stage/no-port" timeout 20 "$prefix/bin/tolvane-send" --direct \
    --port tcp://127.0.0.1:1 mute 2>&1)
[[ "$out" == *"tcp://127.0.0.1:1: Connection refused"* ]] ||
    fail "installed tolvane-send does not reach a device server through its module: $out"
out=$(bash -c 'source "$1" && complete -p tolvane-send' _ "$prefix/share/bash-completion/completions/tolvane-send" 2>&1) ||
    fail "bash completion for tolvane-send does not load: $out"
[ -z "$version" ] || [ ! -f "$metainfo" ] || grep -q "<release version=\"$version\"" "$metainfo" ||
    fail "metainfo has no release entry for version $version"

# ---------------------------------------------------------------- man pages

# Formats a page with every groff warning on and no output; prints the warnings, if any.
man_warnings() { groff -man -Tutf8 -ww -z 2>&1; }

for program in "${programs[@]}"; do
    page=$prefix/share/man/man1/$program.1.gz
    [ -f "$page" ] || continue
    if ! gzip -t "$page" 2>/dev/null; then
        fail "man/man1/$program.1.gz is not gzip data"
        continue
    fi
    out=$(gzip -dc "$page" | man_warnings)
    [ -z "$out" ] || fail "man page $program(1) renders with warnings: $out"
    # lexgrog reads the NAME section as whatis(1) and apropos(1) will.
    whatis_line=$(lexgrog "$page" 2>&1)
    [[ "$whatis_line" == "$page: \"$program - "?* ]] ||
        fail "man page $program(1): no NAME line for $program: $whatis_line"
    [ -z "$version" ] || gzip -dc "$page" | grep -q "^\.TH .*\"Tolvane $version\"" ||
        fail "man page $program(1) is not marked for version $version"
done
# The pages in the tree too, including one for a program this build may not have.
for page in "$here"/docs/man/*.1; do
    out=$(man_warnings <"$page")
    [ -z "$out" ] || fail "${page#"$here"/} renders with warnings: $out"
done

# ----------------------------------------------------------------

count=$(cd "$prefix" && find . -type f | wc -l)
if [ "$failures" -gt 0 ]; then
    echo "check_install: $failures problem(s) in the install of $build" >&2
    exit 1
fi
echo "check_install: OK, $count files installed from $build, all checked"
