#!/usr/bin/env bash
# The whole benchmark in one command, on loopback, each installation in its own process
# (bench/bench_peer, bench/bench_queue), ending with one table:
#
#  1. 1 GiB from one installation to another, against socat writing to a file (default, 64 KiB
#     and 1 MiB blocks), the sendfile()+splice() copier of bench_copier (the ceiling), and an
#     rsync daemon (whole-file) on a loopback port: the median of RUNS runs of each, with the
#     ratios of the medians, and how late a 1 ms timer fired in the sending process (p99, max).
#     Beside it, in the same interleaved runs: the same 1 GiB encrypted (both installations offer
#     and take encryption), the same over bench_tls_copier (TLS 1.3 with as little around the
#     cipher as OpenSSL allows: the encrypted ceiling), and, when OLD names the build directory of an earlier version's
#     bench_peer, that version's plain transfer, with its timer lateness.
#  2. The receiver's peak memory for 10 MB and 1 GiB, and the same with a slow disk (a pause of
#     DELAY_US before each write to the file); encrypted too, and for OLD. The time from queueing
#     a file of FILE_SIZE bytes to its first byte of data, plain and encrypted (median of RUNS).
#  3. Four files at once on four channels, interleaved with one file alone and with four copier
#     pairs at once against one (what the machine itself loses to four at once).
#  4. FILES files of FILE_SIZE bytes to one peer, one after the other on one channel.
#  5. A queue of QUEUE_ROWS rows: load, the scheduler's choice, a tick, one edit with its save,
#     and the peak memory above the same engine with an empty queue.
#  6. A long link: bench_relay delays each direction by DELAY_MS (25); FILES files on 4 channels
#     against the rsync daemon through the same relay, and RELAY_SIZE bytes against socat.
#  7. The program itself (PROGRAM, default parcelwise in the build dir; skipped when missing),
#     headless: from its start to its port listening, and from SIGTERM to its exit, idle and
#     during a 1 GiB transfer.
# The CPU seconds (user + system) of each side of the 1 GiB transfers are kept for the program
# and for socat with 1 MiB blocks.
#
#   bash bench/run_all.sh [build-dir]      (default: build-bench beside bench/, a Release build
#                                           of the bench_peer and bench_queue targets)
#
# Environment: RUNS (5), SCRATCH (/tmp/parcelwise-bench), BIG (1073741824), SMALL (10000000),
# DELAY_US (2000), FOUR_SIZE (268435456), FILES (1000), FILE_SIZE (10240), QUEUE_ROWS (100000),
# DELAY_MS (25), RELAY_SIZE (268435456), PROGRAM, OLD (none).
# MB = 10^6 bytes. Every received copy is compared with the source. Each timed transfer starts
# after a sync, so none pays for writing back the one before it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
peer=$build/bench/bench_peer
queue=$build/bench/bench_queue
scratch=${SCRATCH:-/tmp/parcelwise-bench}
runs=${RUNS:-5}
big=${BIG:-1073741824}
small=${SMALL:-10000000}
delay_us=${DELAY_US:-2000}
four_size=${FOUR_SIZE:-268435456}
files=${FILES:-1000}
file_size=${FILE_SIZE:-10240}
queue_rows=${QUEUE_ROWS:-100000}
delay_ms=${DELAY_MS:-25}
relay_size=${RELAY_SIZE:-268435456}
relay=$build/bench/bench_relay
program=${PROGRAM:-$build/parcelwise}
old_peer=${OLD:+$OLD/bench/bench_peer}
if [[ -n $old_peer && ! -x $old_peer ]]; then echo "no $old_peer" >&2; exit 1; fi

for b in "$peer" "$queue"; do
    [[ -x $b ]] || { echo "no $b: build the bench_peer and bench_queue targets first" >&2; exit 1; }
done
need=()
command -v socat >/dev/null || need+=(socat)
command -v rsync >/dev/null || need+=(rsync)
if [[ ${#need[@]} -gt 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}" >/dev/null ||
        { echo "${need[*]} missing and could not be installed" >&2; exit 1; }
fi

mkdir -p "$scratch"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$scratch"/rx "$scratch"/tx "$scratch"/socat.out "$scratch"/copier.out "$scratch"/rsync-dest "$scratch"/queue
}
trap cleanup EXIT

. "$here/common.sh"
seconds_since() { awk -v a="$1" -v b="$(now_ns)" 'BEGIN { printf "%.6f", (b - a) / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
note() { echo "$*" >&2; }

wait_listening() {
    for _ in $(seq 200); do
        ss -ltn 2>/dev/null | grep -q "127.0.0.1:$1 " && return 0
        sleep 0.05
    done
    return 1
}

# One exchange between two installations: run_parcelwise <receiver options> -- <sender options
# and files>. The receiver's and the sender's result lines end up in rx.out and tx.out.
run_parcelwise() {
    local rxopts=() port
    while [[ $1 != -- ]]; do rxopts+=("$1"); shift; done
    shift
    rm -rf "$scratch"/rx "$scratch"/tx "$scratch"/rx.out "$scratch"/tx.out
    port=$(free_port)
    "${peer_bin:-$peer}" receive "$scratch/rx" "$port" "${rxopts[@]}" >"$scratch/rx.out" 2>"$scratch/rx.err" &
    local rxpid=$!
    pids+=("$rxpid")
    wait_ready "$scratch/rx.out" "$rxpid" 400 || { note "receiver did not start"; cat "$scratch"/rx.* >&2; exit 1; }
    local to=$port
    if [[ ${via_relay:-0} == 1 ]]; then start_relay "$port"; to=$relay_port; fi
    warm "$@"
    sync
    local t0
    t0=$(now_ns)
    "${peer_bin:-$peer}" send "$scratch/tx" "$to" "$@" >"$scratch/tx.out" 2>"$scratch/tx.err" ||
        { note "send failed"; cat "$scratch"/tx.* "$scratch"/rx.* >&2; exit 1; }
    wait "$rxpid" || { note "receive failed"; cat "$scratch"/rx.* >&2; exit 1; }
    parcelwise_wall=$(seconds_since "$t0")
    if [[ ${via_relay:-0} == 1 ]]; then stop_relay; fi
}

# The delaying relay: start_relay <target port> sets relay_port; stop_relay ends it.
start_relay() {
    relay_port=$(free_port)
    "$relay" "$relay_port" "$1" "$delay_ms" 30 3600 >/dev/null 2>&1 &
    relay_pid=$!
    pids+=("$relay_pid")
    wait_listening "$relay_port" || { note "bench_relay did not listen"; exit 1; }
}
stop_relay() {
    kill "$relay_pid" 2>/dev/null || true
    wait "$relay_pid" 2>/dev/null || true
}
cpu_of() { awk '{ printf "%.3f", $1 + $2 }' "$1"; }

received() { echo "$scratch/rx/Parcelwise_Downloads/$1"; }

# socat: from the sender's start to the listener's exit, and each side's CPU seconds (user +
# system); run_socat <file> [socat options]. With via_relay=1 the sender goes through the relay.
run_socat() {
    local file=$1 port out=$scratch/socat.out t0 to
    shift
    port=$(free_port)
    rm -f "$out"
    ( TIMEFORMAT='%U %S'; time socat -u "$@" "TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1" "OPEN:$out,creat,trunc" ) \
        2>"$scratch/socat-rx.time" &
    local lpid=$!
    pids+=("$lpid")
    wait_listening "$port" || { note "socat did not listen"; exit 1; }
    to=$port
    if [[ ${via_relay:-0} == 1 ]]; then start_relay "$port"; to=$relay_port; fi
    warm "$file"
    sync
    t0=$(now_ns)
    ( TIMEFORMAT='%U %S'; time socat -u "$@" "OPEN:$file" "TCP:127.0.0.1:$to" ) 2>"$scratch/socat-tx.time"
    wait "$lpid"
    socat_seconds=$(seconds_since "$t0")
    if [[ ${via_relay:-0} == 1 ]]; then stop_relay; fi
    socat_rx_cpu=$(cpu_of "$scratch/socat-rx.time")
    socat_tx_cpu=$(cpu_of "$scratch/socat-tx.time")
    cmp -s "$file" "$out" || { note "socat copy differs"; exit 1; }
}

# An rsync daemon on a loopback port, started once; each run copies the file whole into an empty
# module, timed from the client's start to its exit.
rsync_port=""
start_rsync_daemon() {
    rsync_port=$(free_port)
    mkdir -p "$scratch/rsync-dest"
    cat >"$scratch/rsyncd.conf" <<EOF
use chroot = no
pid file = $scratch/rsyncd.pid
[bench]
    path = $scratch/rsync-dest
    read only = no
    uid = $(id -u)
    gid = $(id -g)
EOF
    rsync --daemon --no-detach --config="$scratch/rsyncd.conf" --address=127.0.0.1 --port="$rsync_port" \
        --log-file="$scratch/rsyncd.log" &
    pids+=("$!")
    wait_listening "$rsync_port" || { note "rsync daemon did not listen"; exit 1; }
}

run_rsync() {
    local file=$1 t0
    rm -f "$scratch/rsync-dest/"*
    warm "$file"
    sync
    t0=$(now_ns)
    rsync --whole-file "$file" "rsync://127.0.0.1:$rsync_port/bench/"
    rsync_seconds=$(seconds_since "$t0")
    cmp -s "$file" "$scratch/rsync-dest/$(basename "$file")" || { note "rsync copy differs"; exit 1; }
}

cores=$(nproc)
big_label=$(numfmt --to=iec-i --suffix=B "$big")
small_label=$(numfmt --to=si --suffix=B "$small")
note "Parcelwise benchmark, $cores cores, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
load_start=$(cut -d' ' -f1 /proc/loadavg)

# The ceilings: bench_copier copies with sendfile() on one side and splice() on the other;
# bench_tls_copier copies over TLS 1.3 with nothing around the cipher but one read and one write
# per 256 KiB on each side. run_ceiling <copier> <file> sets ceiling_seconds.
copier=$build/bench/bench_copier
tls_copier=$build/bench/bench_tls_copier
run_ceiling() {
    local bin=$1 file=$2 name port out=$scratch/ceiling.out t0
    name=$(basename "$bin")
    port=$(free_port)
    rm -f "$out"
    "$bin" recv "$port" "$out" >/dev/null &
    local lpid=$!
    pids+=("$lpid")
    wait_listening "$port" || { note "$name did not listen"; exit 1; }
    warm "$file"
    sync
    t0=$(now_ns)
    "$bin" send "$file" "$port" >/dev/null || { note "$name send failed"; exit 1; }
    wait "$lpid" || { note "$name recv failed"; exit 1; }
    ceiling_seconds=$(seconds_since "$t0")
    cmp -s "$file" "$out" || { note "$name copy differs"; exit 1; }
    rm -f "$out"
}

# The machine's own cost of parallel copies: run_copiers <file> <n> runs n copier pairs at once,
# each sending the file, and sets copiers_mbps to the bytes of all of them over the time to the
# last one's end.
run_copiers() {
    local file=$1 n=$2 i port t0 size lpids=() spids=() ports=()
    size=$(stat -c %s "$file")
    for i in $(seq "$n"); do
        port=$(free_port)
        rm -f "$scratch/copier$i.out"
        "$copier" recv "$port" "$scratch/copier$i.out" >/dev/null &
        lpids+=("$!")
        pids+=("$!")
        wait_listening "$port" || { note "bench_copier did not listen"; exit 1; }
        ports[i]=$port
    done
    warm "$file"
    sync
    t0=$(now_ns)
    for i in $(seq "$n"); do "$copier" send "$file" "${ports[i]}" >/dev/null & spids+=("$!"); done
    wait "${spids[@]}" "${lpids[@]}"
    copiers_mbps=$(mbps $(( size * n )) "$(seconds_since "$t0")")
    for i in $(seq "$n"); do
        cmp -s "$file" "$scratch/copier$i.out" || { note "bench_copier copy $i differs"; exit 1; }
        rm -f "$scratch/copier$i.out"
    done
}

# ---- 1. throughput, 1 GiB ----
bigfile=$(source_file "$big")
start_rsync_daemon
pw=(); so=(); sb=(); sm=(); cp=(); rs=(); late99=(); latemax=(); rxrss_big=""
pwrxcpu=(); pwtxcpu=(); smrxcpu=(); smtxcpu=()
en=(); enrxcpu=(); entxcpu=(); enlate99=(); enrss_big=""; tc=()
old=(); oldlate99=(); oldlatemax=(); oldrss_big=""
for run in $(seq "$runs"); do
    run_parcelwise encrypt=1 -- encrypt=1 "$bigfile"
    cmp -s "$bigfile" "$(received big.bin)" || { note "received encrypted file differs"; exit 1; }
    en+=("$(field mb_per_s "$scratch/rx.out")")
    enrxcpu+=("$(field cpu_s "$scratch/rx.out")")
    entxcpu+=("$(field cpu_s "$scratch/tx.out")")
    enlate99+=("$(field late_p99_ms "$scratch/tx.out")")
    [[ -n $enrss_big ]] || enrss_big=$(field peak_rss_kb "$scratch/rx.out")
    if [[ -x $tls_copier ]]; then run_ceiling "$tls_copier" "$bigfile"; tc+=("$(mbps "$big" "$ceiling_seconds")"); fi
    if [[ -n $old_peer ]]; then
        peer_bin=$old_peer run_parcelwise -- "$bigfile"
        cmp -s "$bigfile" "$(received big.bin)" || { note "received file (old) differs"; exit 1; }
        old+=("$(field mb_per_s "$scratch/rx.out")")
        oldlate99+=("$(field late_p99_ms "$scratch/tx.out")")
        oldlatemax+=("$(field late_max_ms "$scratch/tx.out")")
        [[ -n $oldrss_big ]] || oldrss_big=$(field peak_rss_kb "$scratch/rx.out")
    fi
    run_parcelwise -- "$bigfile"
    cmp -s "$bigfile" "$(received big.bin)" || { note "received file differs"; exit 1; }
    pw+=("$(field mb_per_s "$scratch/rx.out")")
    pwrxcpu+=("$(field cpu_s "$scratch/rx.out")")
    pwtxcpu+=("$(field cpu_s "$scratch/tx.out")")
    late99+=("$(field late_p99_ms "$scratch/tx.out")")
    latemax+=("$(field late_max_ms "$scratch/tx.out")")
    [[ -n $rxrss_big ]] || rxrss_big=$(field peak_rss_kb "$scratch/rx.out")
    run_socat "$bigfile"
    so+=("$(mbps "$big" "$socat_seconds")")
    run_socat "$bigfile" -b 65536
    sb+=("$(mbps "$big" "$socat_seconds")")
    run_socat "$bigfile" -b 1048576
    sm+=("$(mbps "$big" "$socat_seconds")")
    smrxcpu+=("$socat_rx_cpu")
    smtxcpu+=("$socat_tx_cpu")
    if [[ -x $copier ]]; then run_ceiling "$copier" "$bigfile"; cp+=("$(mbps "$big" "$ceiling_seconds")"); fi
    run_rsync "$bigfile"
    rs+=("$(mbps "$big" "$rsync_seconds")")
    note "run $run: parcelwise ${pw[-1]} MB/s (timer late p99 ${late99[-1]} ms, max ${latemax[-1]} ms), encrypted ${en[-1]} MB/s (TLS copier ${tc[*]:+${tc[-1]}} MB/s), old ${old[*]:+${old[-1]}} MB/s, socat ${so[-1]} MB/s (64 KiB blocks ${sb[-1]}), rsync ${rs[-1]} MB/s"
done
pw_med=$(median "${pw[@]}"); so_med=$(median "${so[@]}"); sb_med=$(median "${sb[@]}"); sm_med=$(median "${sm[@]}")
cp_med=$( [[ ${#cp[@]} -gt 0 ]] && median "${cp[@]}" || echo 0 ); rs_med=$(median "${rs[@]}")
late99_med=$(median "${late99[@]}")
pwrxcpu_med=$(median "${pwrxcpu[@]}"); pwtxcpu_med=$(median "${pwtxcpu[@]}")
smrxcpu_med=$(median "${smrxcpu[@]}"); smtxcpu_med=$(median "${smtxcpu[@]}")
latemax_all=$(printf '%s\n' "${latemax[@]}" | sort -g | tail -n1)
tc_med=$( [[ ${#tc[@]} -gt 0 ]] && median "${tc[@]}" || echo 0 )
en_med=$(median "${en[@]}"); enrxcpu_med=$(median "${enrxcpu[@]}"); entxcpu_med=$(median "${entxcpu[@]}")
enlate99_med=$(median "${enlate99[@]}")
if [[ -n $old_peer ]]; then
    old_med=$(median "${old[@]}"); oldlate99_med=$(median "${oldlate99[@]}")
    oldlatemax_all=$(printf '%s\n' "${oldlatemax[@]}" | sort -g | tail -n1)
fi

# ---- 2. receiver memory, 10 MB and 1 GiB, normal and slow disk ----
smallfile=$(source_file "$small")
run_parcelwise -- "$smallfile"
rxrss_small=$(field peak_rss_kb "$scratch/rx.out")
# Almost all of it is the processes' start and end: loading the libraries, the engine's set-up.
rxcpu_small=$(field cpu_s "$scratch/rx.out"); txcpu_small=$(field cpu_s "$scratch/tx.out")
run_parcelwise encrypt=1 -- encrypt=1 "$smallfile"
enrss_small=$(field peak_rss_kb "$scratch/rx.out")
if [[ -n $old_peer ]]; then
    peer_bin=$old_peer run_parcelwise -- "$smallfile"
    oldrss_small=$(field peak_rss_kb "$scratch/rx.out")
fi
run_parcelwise "delay_us=$delay_us" -- "$smallfile"
rxrss_small_slow=$(field peak_rss_kb "$scratch/rx.out")
run_parcelwise "delay_us=$delay_us" -- "$bigfile"
cmp -s "$bigfile" "$(received big.bin)" || { note "received file differs"; exit 1; }
rxrss_big_slow=$(field peak_rss_kb "$scratch/rx.out")
slow_mbps=$(field mb_per_s "$scratch/rx.out")
slow_late_max=$(field late_max_ms "$scratch/tx.out")
note "memory: receiver peak $rxrss_small -> $rxrss_big kB; slow disk $rxrss_small_slow -> $rxrss_big_slow kB at $slow_mbps MB/s"

# The time to the first byte of data of one small file, plain and encrypted, interleaved.
firstfile=$scratch/first-$file_size/first.bin
mkdir -p "$(dirname "$firstfile")"
[[ -f $firstfile && $(stat -c %s "$firstfile") == "$file_size" ]] || head -c "$file_size" /dev/urandom >"$firstfile"
fb_plain=(); fb_en=()
for run in $(seq "$runs"); do
    run_parcelwise -- "$firstfile"
    fb_plain+=("$(field first_s "$scratch/tx.out")")
    run_parcelwise encrypt=1 -- encrypt=1 "$firstfile"
    cmp -s "$firstfile" "$(received first.bin)" || { note "received small encrypted file differs"; exit 1; }
    fb_en+=("$(field first_s "$scratch/tx.out")")
done
fb_plain_med=$(median "${fb_plain[@]}"); fb_en_med=$(median "${fb_en[@]}")
note "first byte of $file_size bytes: plain $fb_plain_med s, encrypted $fb_en_med s"

# ---- 3. four at once ----
fourfile=$(source_file "$four_size")
fourdir=$scratch/four
mkdir -p "$fourdir"
four=()
for i in 1 2 3 4; do
    ln -f "$fourfile" "$fourdir/part$i.bin"
    four+=("$fourdir/part$i.bin")
done
# Interleaved with one file of the same total alone, and with the copier doing the same (four
# pairs at once against one), which shows what the machine itself loses to four at once.
fourall=(); onealone=(); cp4=(); cp1=(); four_rss=""; four_late_max=0
for run in $(seq "$runs"); do
    run_parcelwise files=4 channels=4 -- channels=4 "${four[@]}"
    for i in 1 2 3 4; do
        cmp -s "$fourfile" "$(received "part$i.bin")" || { note "received part$i differs"; exit 1; }
    done
    fourall+=("$(field mb_per_s "$scratch/rx.out")")
    [[ -n $four_rss ]] || four_rss=$(field peak_rss_kb "$scratch/rx.out")
    four_late_max=$(printf '%s\n' "$four_late_max" "$(field late_max_ms "$scratch/tx.out")" | sort -g | tail -n1)
    run_parcelwise -- "$bigfile"
    cmp -s "$bigfile" "$(received big.bin)" || { note "received file differs"; exit 1; }
    onealone+=("$(field mb_per_s "$scratch/rx.out")")
    copiers="not built"
    if [[ -x $copier ]]; then
        run_copiers "$fourfile" 4; cp4+=("$copiers_mbps")
        run_copiers "$bigfile" 1; cp1+=("$copiers_mbps")
        copiers="${cp4[-1]} / ${cp1[-1]} MB/s"
    fi
    note "four at once run $run: ${fourall[-1]} MB/s together, one alone ${onealone[-1]} MB/s; copier four / one $copiers"
done
four_mbps=$(median "${fourall[@]}"); one_mbps=$(median "${onealone[@]}")
cp4_med=$( [[ ${#cp4[@]} -gt 0 ]] && median "${cp4[@]}" || echo 0 ); cp1_med=$( [[ ${#cp1[@]} -gt 0 ]] && median "${cp1[@]}" || echo 0 )

# ---- 4. many small files ----
smalldir=$scratch/small-$files-$file_size
if [[ ! -d $smalldir || $(find "$smalldir" -type f | wc -l) != "$files" ]]; then
    rm -rf "$smalldir"
    mkdir -p "$smalldir"
    for i in $(seq -w 1 "$files"); do head -c "$file_size" /dev/urandom >"$smalldir/f$i.bin"; done
fi
t0=$(now_ns)
run_parcelwise "files=$files" -- "$smalldir"/*.bin
many_wall=$(seconds_since "$t0")
diff -r "$smalldir" "$scratch/rx/Parcelwise_Downloads" >/dev/null || { note "small files differ"; exit 1; }
many_seconds=$(field seconds "$scratch/tx.out")
note "$files files of $file_size bytes: $many_seconds s from the first data (wall $many_wall s)"

# ---- 6. a long link: the delaying relay ----
lk_pw=(); lk_pwdata=(); lk_rs=(); lb_pw=(); lb_pwq=(); lb_so=()
for run in $(seq "$runs"); do
    via_relay=1 run_parcelwise "files=$files" channels=4 -- channels=4 "$smalldir"/*.bin
    diff -r "$smalldir" "$scratch/rx/Parcelwise_Downloads" >/dev/null || { note "small files differ (relay)"; exit 1; }
    lk_pw+=("$parcelwise_wall")
    lk_pwdata+=("$(field seconds "$scratch/tx.out")")
    start_relay "$rsync_port"
    rm -rf "$scratch/rsync-dest/"*
    sync
    t0=$(now_ns)
    rsync -r --whole-file "$smalldir/" "rsync://127.0.0.1:$relay_port/bench/"
    lk_rs+=("$(seconds_since "$t0")")
    stop_relay
    diff -r "$smalldir" "$scratch/rsync-dest" >/dev/null || { note "rsync small files differ (relay)"; exit 1; }
    note "relay run $run: $files files parcelwise ${lk_pw[-1]} s (data ${lk_pwdata[-1]} s), rsync ${lk_rs[-1]} s"
done
relayfile=$(source_file "$relay_size")
for run in $(seq "$runs"); do
    via_relay=1 run_parcelwise -- "$relayfile"
    cmp -s "$relayfile" "$(received big.bin)" || { note "received file differs (relay)"; exit 1; }
    lb_pw+=("$parcelwise_wall")
    # From the queueing in a running installation to the end, without the process's start.
    lb_pwq+=("$(awk -v a="$(field first_s "$scratch/tx.out")" -v b="$(field seconds "$scratch/tx.out")" 'BEGIN { printf "%.6f", a + b }')")
    via_relay=1 run_socat "$relayfile" -b 1048576
    lb_so+=("$socat_seconds")
    note "relay run $run: $relay_size bytes parcelwise ${lb_pw[-1]} s (${lb_pwq[-1]} s from queueing), socat ${lb_so[-1]} s"
done
lk_pw_med=$(median "${lk_pw[@]}"); lk_pwdata_med=$(median "${lk_pwdata[@]}"); lk_rs_med=$(median "${lk_rs[@]}")
lb_pw_med=$(median "${lb_pw[@]}"); lb_pwq_med=$(median "${lb_pwq[@]}"); lb_so_med=$(median "${lb_so[@]}")

# ---- 7. the program itself: start to listening, SIGTERM to exit ----
# listening <port>: whether the port is in the kernel's table of listening sockets.
listening() {
    local hex
    hex=$(printf ':%04X' "$1")
    awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' /proc/net/tcp /proc/net/tcp6
}
# run_program <folder> <port>: starts the program headless and sets prog_pid and listen_s.
run_program() {
    local dir=$1 port=$2 t0
    rm -rf "$dir"
    mkdir -p "$dir"
    "$peer" setup "$dir" "$port" >/dev/null
    t0=$(now_ns)
    "$program" --headless --folder "$dir" >"$scratch/prog.out" 2>&1 &
    prog_pid=$!
    pids+=("$prog_pid")
    for _ in $(seq 20000); do listening "$port" && break; done
    listen_s=$(seconds_since "$t0")
}
# stop_program: SIGTERM, then the seconds to the process's end in stop_s.
stop_program() {
    local t0
    t0=$(now_ns)
    kill -TERM "$prog_pid"
    wait "$prog_pid" || true
    stop_s=$(seconds_since "$t0")
}
st_listen=(); st_idle=(); st_busy=()
if [[ -x $program ]]; then
    for run in $(seq "$runs"); do
        port=$(free_port)
        run_program "$scratch/prog" "$port"
        st_listen+=("$listen_s")
        sleep 0.5
        stop_program
        st_idle+=("$stop_s")
        port=$(free_port)
        run_program "$scratch/prog" "$port"
        rm -rf "$scratch/tx"
        "$peer" send "$scratch/tx" "$port" "$bigfile" >/dev/null 2>&1 &
        txpid=$!
        for _ in $(seq 400); do grep -q " is sending " "$scratch/prog.out" && break; sleep 0.01; done
        sleep 0.1
        stop_program
        st_busy+=("$stop_s")
        kill "$txpid" 2>/dev/null || true
        wait "$txpid" 2>/dev/null || true
        note "program run $run: listening after ${st_listen[-1]} s, SIGTERM to exit ${st_idle[-1]} s idle, ${st_busy[-1]} s during a transfer"
    done
fi
st_listen_med=$( [[ ${#st_listen[@]} -gt 0 ]] && median "${st_listen[@]}" || echo -)
st_idle_med=$( [[ ${#st_idle[@]} -gt 0 ]] && median "${st_idle[@]}" || echo -)
st_busy_med=$( [[ ${#st_busy[@]} -gt 0 ]] && median "${st_busy[@]}" || echo -)

# ---- 5. the queue at scale ----
"$queue" "$scratch/queue/empty" 0 >"$scratch/q0.out"
"$queue" "$scratch/queue/full" "$queue_rows" >"$scratch/q1.out"
q() { field "$1" "$scratch/q1.out"; }
load_end=$(cut -d' ' -f1 /proc/loadavg)

# ---- the table ----
row() { printf '| %-58s | %-44s |\n' "$1" "$2"; }
echo
echo "Machine: $cores cores, $(awk '/MemTotal/ { printf "%.0f GB", $2 / 1e6 }' /proc/meminfo) RAM, load average $load_start at the start, $load_end at the end; $runs runs"
echo
row "measure" "result"
row "---" "---"
row "$big_label parcelwise (median)" "$pw_med MB/s (runs: ${pw[*]})"
row "$big_label socat to a file (median)" "$so_med MB/s (runs: ${so[*]})"
row "$big_label socat -b 65536 to a file (median)" "$sb_med MB/s (runs: ${sb[*]})"
row "$big_label socat -b 1048576 to a file (median)" "$sm_med MB/s (runs: ${sm[*]})"
row "$big_label sendfile()+splice() copier, the ceiling (median)" "$cp_med MB/s (runs: ${cp[*]:-not built})"
row "parcelwise / socat -b 1048576, / the copier" "$(ratio "$pw_med" "$sm_med")x, $( [[ $cp_med != 0 ]] && ratio "$pw_med" "$cp_med" || echo -)"
row "$big_label rsync daemon, whole file (median)" "$rs_med MB/s (runs: ${rs[*]})"
row "parcelwise / socat, / socat -b 65536, / rsync" "$(ratio "$pw_med" "$so_med")x, $(ratio "$pw_med" "$sb_med")x, $(ratio "$pw_med" "$rs_med")x"
row "sender's 1 ms timer late during $big_label: p99 (median), max" "$late99_med ms, $latemax_all ms"
row "$big_label encrypted (median)" "$en_med MB/s (runs: ${en[*]}), $(ratio "$en_med" "$pw_med")x plain"
row "$big_label TLS 1.3 copier, the encrypted ceiling (median)" "$tc_med MB/s (runs: ${tc[*]:-not built}); $( [[ $tc_med != 0 ]] && ratio "$tc_med" "$pw_med" || echo -)x plain, encrypted parcelwise $( [[ $tc_med != 0 ]] && ratio "$en_med" "$tc_med" || echo -)x it"
row "encrypted: CPU s receiver / sender, timer p99 (medians)" "$enrxcpu_med / $entxcpu_med, $enlate99_med ms"
row "encrypted: receiver peak RSS, $small_label -> $big_label" "$enrss_small -> $enrss_big kB ($(( enrss_big - enrss_small )) kB)"
row "first byte of data of $file_size bytes after queueing (median)" "plain $fb_plain_med s, encrypted $fb_en_med s (runs: ${fb_plain[*]} / ${fb_en[*]})"
if [[ -n $old_peer ]]; then
    row "OLD ($OLD) $big_label plain (median)" "$old_med MB/s (runs: ${old[*]}); now / old $(ratio "$pw_med" "$old_med")x"
    row "OLD: sender's timer p99 (median), max" "$oldlate99_med ms, $oldlatemax_all ms (now $late99_med ms, $latemax_all ms)"
    row "OLD: receiver peak RSS, $small_label -> $big_label" "$oldrss_small -> $oldrss_big kB ($(( oldrss_big - oldrss_small )) kB)"
fi
row "receiver peak RSS, $small_label -> $big_label" "$rxrss_small -> $rxrss_big kB ($(( rxrss_big - rxrss_small )) kB)"
row "the same, disk slowed by $delay_us us a write" "$rxrss_small_slow -> $rxrss_big_slow kB ($(( rxrss_big_slow - rxrss_small_slow )) kB), $slow_mbps MB/s, timer max $slow_late_max ms"
row "4 x $four_size bytes at once on 4 channels (median)" "$four_mbps MB/s together (runs: ${fourall[*]}), receiver peak $four_rss kB, timer max $four_late_max ms"
row "$files files of $file_size bytes, one channel" "$many_seconds s"
row "CPU s per $big_label, receiver / sender (median)" "parcelwise $pwrxcpu_med / $pwtxcpu_med, socat -b 1048576 $smrxcpu_med / $smtxcpu_med"
row "CPU s of a $small_label transfer (the processes' start), rx / tx" "$rxcpu_small / $txcpu_small"
row "4 at once against $big_label alone, interleaved (medians)" "$(ratio "$four_mbps" "$one_mbps")x ($four_mbps / $one_mbps MB/s, runs alone: ${onealone[*]})"
row "the copier: 4 pairs at once against 1 pair (medians)" "$( [[ $cp1_med != 0 ]] && ratio "$cp4_med" "$cp1_med" || echo -)x ($cp4_med / $cp1_med MB/s, runs: ${cp4[*]:-} / ${cp1[*]:-})"
row "relay ${delay_ms} ms each way: $files files, 4 channels (median)" "parcelwise $lk_pw_med s (data $lk_pwdata_med s), rsync daemon $lk_rs_med s, ratio $(ratio "$lk_pw_med" "$lk_rs_med")x (runs: ${lk_pw[*]} / ${lk_rs[*]})"
row "relay: $relay_size bytes (median)" "parcelwise $lb_pw_med s with its process start, $lb_pwq_med s from queueing; socat -b 1048576 $lb_so_med s; ratios $(ratio "$lb_pw_med" "$lb_so_med")x, $(ratio "$lb_pwq_med" "$lb_so_med")x"
row "program: start to listening, SIGTERM to exit idle / busy" "$st_listen_med s, $st_idle_med s / $st_busy_med s (runs: ${st_listen[*]:-} / ${st_idle[*]:-} / ${st_busy[*]:-})"
row "queue of $(q rows) rows ($(q file_bytes) bytes): load" "$(q load_ms) ms ($(q load_cpu_ms) ms of CPU)"
row "queue: first choice after the load, then each" "$(q first_pick_ms) ms, $(q pick_median_us) us (median)"
row "queue: tick that starts a row (median, max of 200)" "$(q tick_median_ms) ms, $(q tick_max_ms) ms"
row "queue: one edit and its save with fsync (median, max of 5)" "$(q edit_save_median_ms) ms, $(q edit_save_max_ms) ms"
row "queue: peak RSS above the engine before the load" "$(q peak_growth_kb) kB (with no rows: $(field peak_growth_kb "$scratch/q0.out") kB)"
