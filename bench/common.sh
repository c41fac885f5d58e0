# Helpers the benchmark scripts share; sourced, with $scratch set by the caller.

# A loopback port that nothing listens on right now.
free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
now_ns() { date +%s%N; }
# The value of a "RESULT key=value" line of a peer's output file.
field() { sed -n "s/^RESULT $1=//p" "$2" | head -n1; }
# Megabytes (10^6 bytes) per second.
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }

# A source file of random bytes, made once and kept between runs.
source_file() {
    local size=$1 dir=$scratch/src-$1
    mkdir -p "$dir"
    if [[ ! -f $dir/big.bin || $(stat -c %s "$dir/big.bin") != "$size" ]]; then
        head -c "$size" /dev/urandom >"$dir/big.bin"
    fi
    echo "$dir/big.bin"
}

# Waits until the peer writing to file prints READY: false when it ends first or after the
# given number of 50 ms tries (200 unless told).
wait_ready() {
    local file=$1 pid=$2 tries=${3:-200}
    for _ in $(seq "$tries"); do
        grep -q '^READY' "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# Reads the named files (other arguments are skipped) into the page cache right before a timed
# run: this machine pages out files left unread for a few seconds (a reclaim daemon), and a
# source read back from disk halved a transfer.
warm() {
    local f
    for f in "$@"; do [[ -f $f ]] && cat "$f" >/dev/null; done
    return 0
}
