#!/usr/bin/env bash
# Builds the panel, tolvane-projector, tolvane-send and the baselines in Release, measures them
# (the panel in a private X server), prints the tables and writes them to docs/benchmarks.md.
# See bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'TXT'
usage: bench/run.sh [--runs N] [--send-only] [--net] [--bus] [--retry] [--dialogs] [--no-doc]
                    [--help]
  --runs N     N rounds, 1 to 999 (default 5); each starts the baseline and the panel five
               times in turn, clicks every key, checks the connection four times and sends
               a burst of 500 key presses; then tolvane-send and its baseline are started
               20 × N times each
  --send-only  measure tolvane-send only (no X server needed; bench/send_bench.py)
  --net        measure instead the click to the last byte through ser2net (raw TCP and
               RFC 2217) beside a direct pseudo-terminal (bench/net.py)
  --bus        measure instead a key pressed over the session bus to the last byte, beside
               a click (bench/bus.py)
  --retry      measure instead the CPU time over 10 s of retrying a lost device and a lost
               network address (bench/retry.py)
  --dialogs    measure instead the resident memory over 1,000 answered checks, each dialog
               closed with Enter (bench/dialogs.py)
  --no-doc     print the tables only; leave docs/benchmarks.md as it is
The Release builds land in build-bench/.
TXT
}

runs=5
write_doc=yes
send_only=no
net=no
bus=no
retry=no
dialogs=no
while [ $# -gt 0 ]; do
    case "$1" in
        --runs)
            [ $# -ge 2 ] || { echo "bench: --runs needs a number" >&2; exit 2; }
            if ! [[ "$2" =~ ^[1-9][0-9]{0,2}$ ]]; then
                echo "bench: --runs '$2' is not a number from 1 to 999" >&2
                exit 2
            fi
            runs=$2
            shift 2
            ;;
        --no-doc) write_doc=no; shift ;;
        --send-only) send_only=yes; shift ;;
        --net) net=yes; shift ;;
        --bus) bus=yes; shift ;;
        --retry) retry=yes; shift ;;
        --dialogs) dialogs=yes; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "bench: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    esac
done

packages=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev fonts-liberation2
          fonts-dejavu-core xvfb python3-xlib)
[ "$net" = yes ] && packages+=(ser2net)
[ "$bus" = yes ] && packages+=(dbus python3-dbus)
[ "$send_only" = yes ] && packages+=(dbus)  # tolvane-send on a session bus with no panel
[ "$retry" = yes ] && packages+=(socat)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}" >&2
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

build_dir=build-bench
werror=OFF
[ -n "${CI:-}" ] && werror=ON
echo "bench: building in $build_dir (Release)" >&2
cmake -S . -B "$build_dir/panel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DTOLVANE_WERROR=$werror >/dev/null
targets=(tolvane tolvane-projector tolvane-send)
base_targets=(all)
if [ "$send_only" = yes ]; then targets=(tolvane-send); base_targets=(send_baseline send_baseline_linked); fi
cmake --build "$build_dir/panel" --target "${targets[@]}"
cmake -S bench/baseline -B "$build_dir/baseline" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir/baseline" --target "${base_targets[@]}"

read -r load _ < /proc/loadavg
if awk -v l="$load" -v c="$(nproc)" 'BEGIN { exit !(l >= c / 2) }'; then
    echo "bench: the machine is busy (load average $load on $(nproc) cores); times will be high" >&2
fi

output=()
[ "$write_doc" = yes ] && output=(--output docs/benchmarks.md)
# Debian's python3, where python3-xlib is installed.
if [ "$net" = yes ]; then
    exec /usr/bin/python3 bench/net.py --runs "$runs" "${output[@]}" \
        --panel "$build_dir/panel/app/tolvane"
fi
if [ "$bus" = yes ]; then
    exec /usr/bin/python3 bench/bus.py --runs "$runs" "${output[@]}" \
        --panel "$build_dir/panel/app/tolvane"
fi
if [ "$retry" = yes ]; then
    exec /usr/bin/python3 bench/retry.py --runs "$runs" "${output[@]}" \
        --panel "$build_dir/panel/app/tolvane"
fi
if [ "$dialogs" = yes ]; then
    exec /usr/bin/python3 bench/dialogs.py --runs "$runs" "${output[@]}" \
        --panel "$build_dir/panel/app/tolvane"
fi
if [ "$send_only" = no ]; then
    /usr/bin/python3 bench/bench.py --runs "$runs" "${output[@]}" \
        --panel "$build_dir/panel/app/tolvane" \
        --projector "$build_dir/panel/tools/tolvane-projector" \
        --baseline "$build_dir/baseline/baseline"
fi
# After the panel's: its section goes at the end of the file that bench.py writes whole.
exec /usr/bin/python3 bench/send_bench.py --runs $((runs * 20)) "${output[@]}" \
    --send "$build_dir/panel/tools/tolvane-send" \
    --baseline "$build_dir/baseline/send_baseline" \
    --linked "$build_dir/baseline/send_baseline_linked"
