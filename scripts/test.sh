#!/usr/bin/env bash
# Installs what is missing, checks the direction of the includes between the layers of src/,
# builds everything and runs the whole test suite: the tests, the
# same tests under AddressSanitizer and UBSan, and short runs of the fuzzers (the request, the
# FTP client's reply reader, the lookup's response, the address page and the router's NAT-PMP answer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/check-includes.sh"
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
# Repeated runs on one machine compile unchanged files from the compiler cache.
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_TESTS=ON "${launcher[@]}"
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPW_SANITIZE=ON -DPW_TESTS=ON "${launcher[@]}"
cmake --build "$root/build-asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPW_FUZZ=ON -DPW_TESTS=OFF "${launcher[@]}"
cmake --build "$root/build-fuzz" -j "$jobs" --target fuzz_request fuzz_ftp_reply fuzz_http_response fuzz_address_page \
    fuzz_natpmp_answer fuzz_upgrade fuzz_receive_slot
mkdir -p "$root/build-fuzz/corpus"
"$root/build-fuzz/fuzz_request" -max_total_time=30 -print_final_stats=1 "$root/build-fuzz/corpus" \
    "$root/tests/fuzz/seeds"
# The FTP client's reply reader and reply table, with a corpus of its own.
mkdir -p "$root/build-fuzz/corpus-fuzz_ftp_reply"
"$root/build-fuzz/fuzz_ftp_reply" -max_total_time=20 -print_final_stats=1 "$root/build-fuzz/corpus-fuzz_ftp_reply" \
    "$root/tests/fuzz/seeds-ftp-reply"
# The address lookup's response reader and page reader, the router's NAT-PMP answer reader and
# the upgrade to TLS, and a receive slot driven by a hostile caller, shorter runs of their own
# corpora.
for target in fuzz_http_response fuzz_address_page fuzz_natpmp_answer fuzz_upgrade fuzz_receive_slot; do
    mkdir -p "$root/build-fuzz/corpus-$target"
    name=${target#fuzz_}
    "$root/build-fuzz/$target" -max_total_time=15 -print_final_stats=1 "$root/build-fuzz/corpus-$target" \
        "$root/tests/fuzz/seeds-${name//_/-}"
done
echo "All tests passed."
