#!/usr/bin/env bash
# Throughput and memory of corvane-cli on loopback, against socat as the raw-TCP reference.
#
# One run: a random file of BENCH_SIZE_MIB MiB (default 1024) sent with corvane-cli at chunk
# sizes 4096 and 65536 and with socat (file to file, then `sync FILE`, so every copy is
# durable); the same for 1 MiB; then BENCH_FILES one-byte files (default 1000) on one
# connection. Every copy is compared byte for byte with its source. Prints a Markdown table.
#
# Environment: BENCH_SIZE_MIB, BENCH_FILES, BENCH_BUILD_DIR (default build-bench beside this
# folder), BENCH_TMPDIR (where the files go; default $TMPDIR or /tmp).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
size_mib=${BENCH_SIZE_MIB:-1024}
file_count=${BENCH_FILES:-1000}
build=${BENCH_BUILD_DIR:-$root/build-bench}

die() { echo "run-bench: $*" >&2; exit 1; }

# --- tools and build ------------------------------------------------------------------------
if ! command -v socat >/dev/null || [[ ! -x /usr/bin/time ]]; then
    [[ $(id -u) -eq 0 ]] || die "socat and /usr/bin/time are needed (apt-get install socat time)"
    echo "Installing socat and time" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends socat time >&2
fi
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >&2
fi
cmake --build "$build" --target corvane-cli >&2
cli=$build/cli/corvane-cli
[[ -x $cli ]] || die "no corvane-cli in $build"
# The same program with hashing left out, to measure what hashing costs.
if [[ ! -f $build-nohash/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build-nohash" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCORVANE_HASHING=OFF >&2
fi
cmake --build "$build-nohash" --target corvane-cli >&2
cli_nohash=$build-nohash/cli/corvane-cli

# --- work folder ----------------------------------------------------------------------------
# Source and copies share one folder, so every case reads and writes the same disk.
work=$(mktemp -d "${BENCH_TMPDIR:-${TMPDIR:-/tmp}}/corvane-bench.XXXXXX")
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do
        # Each background job is /usr/bin/time with the measured program as its child.
        kill $(pgrep -P "$pid" 2>/dev/null) "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

need_kib=$(( (size_mib * 2 + 64) * 1024 ))
free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
(( free_kib > need_kib )) || die "$work needs $((need_kib / 1024)) MiB free, has $((free_kib / 1024))"

echo "Making a random file of $size_mib MiB in $work" >&2
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/large.bin"
head -c "$((1024 * 1024))" /dev/urandom > "$work/small.bin"
mkdir "$work/many"
for ((i = 1; i <= file_count; ++i)); do
    printf '%s' "$((i % 10))" > "$work/many/f$(printf '%05d' "$i")"
done

# --- helpers --------------------------------------------------------------------------------
# True when something listens on the TCP port (IPv4 or IPv6).
listening() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v port=":$hex" '$4 == "0A" && substr($2, length($2) - 4) == port { found = 1 }
                         END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# A port in the ephemeral-style range that nothing listens on.
free_port() {
    local port
    while :; do
        port=$((40000 + RANDOM % 20000))
        [[ $port -ne ${1:-0} ]] && ! listening "$port" && { echo "$port"; return; }
    done
}

wait_listening() {
    local tries=0
    until listening "$1"; do
        (( ++tries < 200 )) || die "nothing listens on port $1"
        sleep 0.05
    done
}

peak_rss_mib() {
    awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$1"
}

rows=()
socat_rate=""

# add_row CASE SECONDS RATE RATE_TEXT SENDER_TIME_FILE RECEIVER_TIME_FILE
add_row() {
    local ratio="–"
    if [[ -n $socat_rate && $1 != "socat, "* && $4 == *MiB/s ]]; then
        ratio=$(awk -v a="$3" -v b="$socat_rate" 'BEGIN { printf "%.2f", a / b }')
    fi
    rows+=("| $1 | $2 | $4 | $ratio | $(peak_rss_mib "$5") MiB | $(peak_rss_mib "$6") MiB |")
}

# run_corvane LABEL CHUNK SOURCES... : one receiver (--yes --count N), one sender.
run_corvane() {
    local label=$1 chunk=$2
    shift 2
    local count=$#
    rm -rf "$work/into"
    mkdir "$work/into"
    local info binary
    info=$(free_port)
    binary=$(free_port "$info")
    /usr/bin/time -v -o "$work/receiver.time" \
        "${program:-$cli}" receive --into "$work/into" --yes --count "$count" \
        --info-port "$info" --binary-port "$binary" >"$work/receiver.out" 2>"$work/receiver.err" &
    local receiver=$!
    started+=("$receiver")
    wait_listening "$info"
    wait_listening "$binary"

    # Dirty pages of earlier cases would otherwise be written back during this one.
    sync
    local t0=$EPOCHREALTIME
    /usr/bin/time -v -o "$work/sender.time" \
        "${program:-$cli}" send "$@" --to 127.0.0.1 --info-port "$info" --binary-port "$binary" \
        --chunk-size "$chunk" >"$work/sender.out" 2>"$work/sender.err" \
        || { cat "$work/sender.err" "$work/receiver.err" >&2; die "$label: the sender failed"; }
    wait "$receiver" || { cat "$work/receiver.err" >&2; die "$label: the receiver failed"; }
    local t1=$EPOCHREALTIME
    elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
}

# socat_case LABEL SOURCE [BLOCK_SIZE]: without a block size, socat's default (8192) and the
# reference for the ratios.
socat_case() {
    local label=$1 source=$2 block=${3:-} port
    rm -rf "$work/into"
    mkdir "$work/into"
    port=$(free_port)
    /usr/bin/time -v -o "$work/receiver.time" \
        socat ${block:+-b "$block"} -u "TCP-LISTEN:$port,reuseaddr" "OPEN:$work/into/copy,creat,trunc" &
    local receiver=$!
    started+=("$receiver")
    wait_listening "$port"
    sync
    local t0=$EPOCHREALTIME
    /usr/bin/time -v -o "$work/sender.time" \
        socat ${block:+-b "$block"} -u "OPEN:$source" "TCP:127.0.0.1:$port"
    wait "$receiver" || die "$label: socat failed"
    sync "$work/into/copy"
    local t1=$EPOCHREALTIME
    cmp "$source" "$work/into/copy" || die "$label: the copy differs"
    local seconds rate
    seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    rate=$(awk -v s="$seconds" -v m="$(stat -c %s "$source")" 'BEGIN { printf "%.1f", m / 1048576 / s }')
    [[ -n $block ]] || socat_rate=$rate
    add_row "$label" "$seconds" "$rate" "$rate MiB/s" "$work/sender.time" "$work/receiver.time"
}

# corvane_case LABEL CHUNK SOURCE
corvane_case() {
    local label=$1 chunk=$2 source=$3
    run_corvane "$label" "$chunk" "$source"
    cmp "$source" "$work/into/$(basename "$source")" || die "$label: the copy differs"
    # Not local: hashing_share reads it.
    rate=$(awk -v s="$elapsed" -v m="$(stat -c %s "$source")" 'BEGIN { printf "%.1f", m / 1048576 / s }')
    add_row "$label" "$elapsed" "$rate" "$rate MiB/s" "$work/sender.time" "$work/receiver.time"
}

# Throughput at chunk 4096 with hashing, as a share of the same without (both ends hash).
# Single runs on loopback vary by a fifth, so three pairs alternate and the medians compare.
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
hashing_share() {
    local hashed=() plain=() run
    for run in 1 2 3; do
        program=$cli_nohash corvane_case "corvane-cli, $1, chunk 4096, no hashing ($run)" 4096 "$2"
        plain+=("$rate")
        corvane_case "corvane-cli, $1, chunk 4096, hashing again ($run)" 4096 "$2"
        hashed+=("$rate")
    done
    local a b
    a=$(median "${hashed[@]}")
    b=$(median "${plain[@]}")
    hashing_note="Hashing kept $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.0f", 100 * a / b }')% of the throughput at chunk 4096 (medians of three runs: $a against $b MiB/s)."
}

# --- the cases ------------------------------------------------------------------------------
large_label="$size_mib MiB"
(( size_mib % 1024 == 0 )) && large_label="$((size_mib / 1024)) GiB"
for pair in "$large_label:$work/large.bin" "1 MiB:$work/small.bin"; do
    label=${pair%%:*}
    source=${pair#*:}
    echo "Timing $label" >&2
    socat_case "socat, $label" "$source"
    corvane_case "corvane-cli, $label, chunk 4096" 4096 "$source"
    corvane_case "corvane-cli, $label, chunk 65536" 65536 "$source"
    [[ $label == "1 MiB" ]] || socat_case "socat -b 65536, $label" "$source" 65536
    [[ $label == "1 MiB" ]] || hashing_share "$label" "$source"
done

echo "Timing $file_count one-byte files" >&2
run_corvane "many files" 4096 "$work"/many/f*
diff -r "$work/many" "$work/into" >&2 || die "many files: the copies differ"
files_rate=$(awk -v s="$elapsed" -v n="$file_count" 'BEGIN { printf "%.0f", n / s }')
add_row "corvane-cli, $file_count × 1 byte, one connection" "$elapsed" "$files_rate" \
    "$files_rate files/s" "$work/sender.time" "$work/receiver.time"

# --- the table ------------------------------------------------------------------------------
echo
echo "| case | seconds | MiB/s | ratio to socat | peak RSS sender | peak RSS receiver |"
echo "| --- | ---: | ---: | ---: | ---: | ---: |"
printf '%s\n' "${rows[@]}"
echo
echo "$(nproc) cores, $(uname -sr), $(date -u '+%Y-%m-%d %H:%M UTC'); copies checked with cmp."
echo "$hashing_note"
