# Shared by the benchmark scripts. Source it.
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
BENCH="$TAMBRIX_BUILD/bench-data"
mkdir -p "$BENCH"
ROUNDS="${ROUNDS:-5}"

# Builds (if needed) what the benchmarks run.
bench_build() {
    ensure_packages gnuplot-nox
    [ -x "$TAMBRIX_BUILD/bench/bench_download" ] || configure_and_build
    cmake --build "$TAMBRIX_BUILD" --parallel >/dev/null
}

# Runs a command under /usr/bin/time; prints "seconds peak-kib".
measure() {
    local out
    out="$(mktemp)"
    /usr/bin/time -f "%e %M" -o "$out" "$@" >/dev/null
    cat "$out"
    rm -f "$out"
}

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
