#!/usr/bin/env bash
# Loopback transfer benchmark: one installation sends a file to another, two processes, and the
# same file goes through socat for comparison. Prints MB/s (1 MB = 10^6 bytes) from the first data
# byte to the receiver's close, the ratio to socat, and each process's peak RSS for a 10 MB and a
# 1 GiB file, with the growth between the two.
#
#   bash bench/run_transfer_bench.sh [build-dir]      (default: build-bench beside bench/)
#
# Environment: SCRATCH (default /tmp/parcelwise-bench), RUNS (repetitions, default 1),
# SIZES (bytes, default "10000000 1073741824"), KEEP=1 keeps the scratch files.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
peer=$build/bench/bench_peer
scratch=${SCRATCH:-/tmp/parcelwise-bench}
runs=${RUNS:-1}
sizes=${SIZES:-"10000000 1073741824"}

[[ -x $peer ]] || { echo "no $peer: build the bench_peer target first" >&2; exit 1; }
if ! command -v socat >/dev/null; then
    apt-get install -y socat >/dev/null || { echo "socat is missing and could not be installed" >&2; exit 1; }
fi
mkdir -p "$scratch"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    [[ ${KEEP:-0} == 1 ]] || rm -rf "$scratch"/rx "$scratch"/tx "$scratch"/socat.out
}
trap cleanup EXIT

. "$here/common.sh"

# One transfer between two installations; sets rx_* and tx_* results.
run_parcelwise() {
    local file=$1 port
    rm -rf "$scratch"/rx "$scratch"/tx "$scratch"/rx.out "$scratch"/tx.out
    port=$(free_port)
    "$peer" receive "$scratch/rx" "$port" >"$scratch/rx.out" 2>"$scratch/rx.err" &
    local rxpid=$!
    pids+=("$rxpid")
    wait_ready "$scratch/rx.out" "$rxpid" || { echo "receiver did not start" >&2; cat "$scratch"/rx.* >&2; exit 1; }
    "$peer" send "$scratch/tx" "$port" "$file" >"$scratch/tx.out" 2>"$scratch/tx.err" ||
        { echo "send failed" >&2; cat "$scratch"/tx.* >&2; exit 1; }
    wait "$rxpid" || { echo "receive failed" >&2; cat "$scratch"/rx.* >&2; exit 1; }
    cmp -s "$file" "$scratch/rx/Parcelwise_Downloads/big.bin" || { echo "received file differs" >&2; exit 1; }
    rx_bytes=$(field bytes "$scratch/rx.out")
    rx_seconds=$(field seconds "$scratch/rx.out")
    rx_mbps=$(field mb_per_s "$scratch/rx.out")
    rx_rss=$(field peak_rss_kb "$scratch/rx.out")
    tx_rss=$(field peak_rss_kb "$scratch/tx.out")
}

# The same file through socat: from the sender's start to the listener's exit.
run_socat() {
    local file=$1 port out=$scratch/socat.out
    port=$(free_port)
    rm -f "$out"
    socat -u "TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1" "OPEN:$out,creat,trunc" &
    local lpid=$!
    pids+=("$lpid")
    for _ in $(seq 200); do
        ss -ltn 2>/dev/null | grep -q "127.0.0.1:$port " && break
        sleep 0.05
    done
    local t0 t1
    t0=$(now_ns)
    socat -u "OPEN:$file" "TCP:127.0.0.1:$port"
    wait "$lpid"
    t1=$(now_ns)
    cmp -s "$file" "$out" || { echo "socat copy differs" >&2; exit 1; }
    socat_seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", (b - a) / 1e9 }')
}

echo "Loopback transfer, $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'); MB = 10^6 bytes"
for run in $(seq "$runs"); do
    declare -A rxrss txrss
    for size in $sizes; do
        file=$(source_file "$size")
        run_parcelwise "$file"
        run_socat "$file"
        socat_mbps=$(mbps "$size" "$socat_seconds")
        ratio=$(awk -v a="$rx_mbps" -v b="$socat_mbps" 'BEGIN { printf "%.3f", a / b }')
        printf 'run %d  %10d bytes  parcelwise %8.1f MB/s (%.3f s)  socat %8.1f MB/s (%.3f s)  ratio %s  peak RSS receiver %d kB, sender %d kB\n' \
            "$run" "$rx_bytes" "$rx_mbps" "$rx_seconds" "$socat_mbps" "$socat_seconds" "$ratio" "$rx_rss" "$tx_rss"
        rxrss[$size]=$rx_rss
        txrss[$size]=$tx_rss
    done
    set -- $sizes
    if [[ $# -ge 2 ]]; then
        first=$1
        last=${!#}
        printf 'run %d  peak RSS growth %d -> %d bytes: receiver %+d kB, sender %+d kB\n' "$run" "$first" "$last" \
            $((rxrss[$last] - rxrss[$first])) $((txrss[$last] - txrss[$first]))
    fi
    unset rxrss txrss
done
