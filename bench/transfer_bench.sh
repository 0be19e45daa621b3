#!/usr/bin/env bash
# Transfer benchmark: how fast two quodem processes move a file, against minimal programs
# moving the same file over the same kind of socket and against ZMODEM (lrzsz).
#
#   bench/transfer_bench.sh            full run: 16 MiB and 256 MiB, 3 repetitions, medians;
#                                      writes bench/results.md
#   bench/transfer_bench.sh --quick    smoke run: 16 MiB, 1 repetition, a short pacing check;
#                                      prints the tables only
#
# Options: --reps N, --sizes "16 256" (MiB), --paced-size BYTES (the pacing check's file,
# default 262144), --output FILE (also for --quick), --keep (leave the work folder).
# Environment: BUILD_DIR (default: build), the build folder whose tool (tool/quodem) and bench
# programs are measured; they are built (Release-like flags of that folder) if missing.
#
# For each link (the local exchange: Unix-domain socket; the TCP line on 127.0.0.1) and size:
#   quodem   `quodem wait --once` receives, `quodem dial ... --send FILE` sends
#   link     bench/link_sender reads the file in 64 KiB blocks as it goes (as quodem's
#            sender does) and writes it in 255-byte blocking writes to bench/link_reader,
#            which writes what it reads to a file: the least a program writing the frame
#            format's pieces one system call each can cost
#   link64   the same pair with 64 KiB writes: about the most the link and the disk carry
#   zmodem   sz -> rz, each with the socket as its stdin/stdout (bench/pipe_bridge)
# Each run's time is wall clock from starting the sender until both sides have exited and
# the file is complete; CPU (user+system) and peak resident memory of each side come from GNU
# time. Every received file is compared with the original (cmp).
#
# The idle cost of a connected call is measured with bench/idle_call (5 s, each process), and
# bench/paced_call checks an exchange call at speed = 33600: the file must arrive in the time
# the speed implies (within 5 %), with an OnSentState and an OnLineReceive at least every second.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac

QUICK=0
REPS=3
SIZES="16 256"
PACED_SIZE=262144
OUTPUT=""
KEEP=0
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=1; REPS=1; SIZES="16"; PACED_SIZE=32768 ;;
    --reps) REPS=$2; shift ;;
    --sizes) SIZES=$2; shift ;;
    --paced-size) PACED_SIZE=$2; shift ;;
    --output) OUTPUT=$2; shift ;;
    --keep) KEEP=1 ;;
    -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
if [ $QUICK -eq 0 ] && [ -z "$OUTPUT" ]; then OUTPUT=$ROOT/bench/results.md; fi

log() { echo "[bench $(date +%T)] $*" >&2; }

# --- tools --------------------------------------------------------------------------------
missing=()
[ -x /usr/bin/time ] || missing+=(time)
command -v sz >/dev/null 2>&1 && command -v rz >/dev/null 2>&1 || missing+=(lrzsz)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 || true
    apt-get install -y -qq "${missing[@]}" >&2 || true
  else
    log "missing packages (run as root or: sudo apt-get install -y ${missing[*]})"
  fi
fi
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is required" >&2; exit 1; }
HAVE_ZMODEM=0
if command -v sz >/dev/null 2>&1 && command -v rz >/dev/null 2>&1; then HAVE_ZMODEM=1; fi

QUODEM=$BUILD_DIR/tool/quodem
BENCH=$BUILD_DIR/bench
need_build=0
for p in "$QUODEM" "$BENCH/link_sender" "$BENCH/link_reader" "$BENCH/pipe_bridge" "$BENCH/idle_call" \
  "$BENCH/paced_call"; do
  [ -x "$p" ] || need_build=1
done
if [ $need_build -eq 1 ] || [ "${BENCH_REBUILD:-1}" = 1 ]; then
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    log "configuring $BUILD_DIR"
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  log "building the tool and the bench programs in $BUILD_DIR"
  cmake --build "$BUILD_DIR" -j "$(nproc)" --target quodem_tool bench_link_sender \
    bench_link_reader bench_pipe_bridge bench_idle_call bench_paced_call >/dev/null
fi

# --- work folder --------------------------------------------------------------------------
WORK=$(mktemp -d /tmp/quodem-bench-XXXXXX)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]:-}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null || true; done
  if [ $KEEP -eq 0 ]; then rm -rf "$WORK"; else log "work folder kept: $WORK"; fi
}
trap cleanup EXIT
RESULTS=$WORK/results.tsv  # method link size rep wall s_user s_sys s_rss r_user r_sys r_rss
: >"$RESULTS"

for size in $SIZES; do
  log "making a ${size} MiB file of random bytes"
  head -c "$((size * 1024 * 1024))" /dev/urandom >"$WORK/data-$size.bin"
done

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", b - a }'; }
# time(1) output "%U %S %M" -> "user sys rss_kib"
TIMEFMT='%U %S %M'
readtime() { tail -n 1 "$1"; }

# Blocks until `test` succeeds, at most 20 s (a guard against a side that never starts).
await() {
  local what=$1; shift
  local i
  for i in $(seq 2000); do
    if "$@"; then return 0; fi
    sleep 0.01
  done
  echo "timed out waiting for $what" >&2
  return 1
}

# True when something listens on 127.0.0.1:$1 (read from /proc, without connecting).
tcp_listening() {
  local hex
  hex=$(printf '%04X' "$1")
  grep -q ":$hex 00000000:0000 0A" /proc/net/tcp
}

free_port() { "$BENCH/link_reader" --free-port; }

record() {  # method link size rep wall sender_time_file receiver_time_file
  echo "$1 $2 $3 $4 $5 $(readtime "$6") $(readtime "$7")" >>"$RESULTS"
}

check_same() {  # original received label
  if ! cmp -s "$1" "$2"; then
    echo "FAILED: $3: the received file differs from the original" >&2
    exit 1
  fi
}

run_quodem() {  # link size rep
  local link=$1 size=$2 rep=$3 file=$WORK/data-$2.bin
  local dir=$WORK/run-quodem-$link-$size-$rep
  mkdir -p "$dir/save"
  local recv_env=() send_env=() wait_args=() dial_args=()
  if [ "$link" = exchange ]; then
    recv_env=(QUODEM_EXCHANGE_DIR="$dir/exchange" QUODEM_CONFIG="$dir/none.conf")
    send_env=("${recv_env[@]}")
    wait_args=(--line 1)
    dial_args=(102 --line 0)
  else
    local port
    port=$(free_port)
    printf '[line]\nprovider = tcp\nname = Bench TCP\nlisten = 127.0.0.1:%s\n' "$port" >"$dir/recv.conf"
    printf '[line]\nprovider = tcp\nname = Bench TCP\nlisten = 127.0.0.1:0\n' >"$dir/send.conf"
    recv_env=(QUODEM_EXCHANGE_DIR="$dir/exchange" QUODEM_CONFIG="$dir/recv.conf")
    send_env=(QUODEM_EXCHANGE_DIR="$dir/exchange" QUODEM_CONFIG="$dir/send.conf")
    wait_args=(--line 0)
    dial_args=("127.0.0.1:$port" --line 0)
  fi
  env "${recv_env[@]}" /usr/bin/time -f "$TIMEFMT" -o "$dir/recv.time" \
    "$QUODEM" wait --once "${wait_args[@]}" --save-dir "$dir/save" --json \
    >"$dir/recv.json" 2>"$dir/recv.err" &
  local recv_pid=$!
  PIDS+=("$recv_pid")
  await "the receiver ($link)" grep -q '"event":"waiting"' "$dir/recv.json"
  local t0 t1
  t0=$(now)
  env "${send_env[@]}" /usr/bin/time -f "$TIMEFMT" -o "$dir/send.time" \
    "$QUODEM" dial "${dial_args[@]}" --send "$file" --json >"$dir/send.json" 2>"$dir/send.err" ||
    { echo "sender failed ($link, $size MiB):" >&2; cat "$dir/send.err" >&2; exit 1; }
  wait "$recv_pid" || { echo "receiver failed ($link):" >&2; cat "$dir/recv.err" >&2; exit 1; }
  t1=$(now)
  check_same "$file" "$dir/save/data-$size.bin" "quodem $link $size MiB"
  record quodem "$link" "$size" "$rep" "$(elapsed "$t0" "$t1")" "$dir/send.time" "$dir/recv.time"
  rm -rf "$dir"
}

address_for() {  # link dir -> address of the baseline socket
  if [ "$1" = exchange ]; then
    mkdir -p -m 700 "$2/exchange"
    echo "unix:$2/exchange/101"
  else
    echo "tcp:127.0.0.1:$(free_port)"
  fi
}

run_link() {  # link size rep [chunk bytes] [method name]
  local link=$1 size=$2 rep=$3 file=$WORK/data-$2.bin chunk=${4:-255} method=${5:-link}
  local dir=$WORK/run-$method-$link-$size-$rep
  mkdir -p "$dir"
  local address
  address=$(address_for "$link" "$dir")
  /usr/bin/time -f "$TIMEFMT" -o "$dir/recv.time" \
    "$BENCH/link_reader" "$address" "$dir/received.bin" "$dir/ready" &
  local recv_pid=$!
  PIDS+=("$recv_pid")
  await "link_reader" test -e "$dir/ready"
  local t0 t1
  t0=$(now)
  /usr/bin/time -f "$TIMEFMT" -o "$dir/send.time" "$BENCH/link_sender" "$address" "$file" "$chunk"
  wait "$recv_pid"
  t1=$(now)
  check_same "$file" "$dir/received.bin" "$method $link $size MiB"
  record "$method" "$link" "$size" "$rep" "$(elapsed "$t0" "$t1")" "$dir/send.time" "$dir/recv.time"
  rm -rf "$dir"
}

run_link64() {  # link size rep
  run_link "$1" "$2" "$3" 65536 link64
}

run_zmodem() {  # link size rep
  local link=$1 size=$2 rep=$3 file=$WORK/data-$2.bin
  local dir=$WORK/run-zmodem-$link-$size-$rep
  mkdir -p "$dir/save"
  local address
  address=$(address_for "$link" "$dir")
  (cd "$dir/save" && exec /usr/bin/time -f "$TIMEFMT" -o "$dir/recv.time" \
    "$BENCH/pipe_bridge" listen "$address" --ready "$dir/ready" -- rz -q -y) 2>"$dir/recv.err" &
  local recv_pid=$!
  PIDS+=("$recv_pid")
  await "rz" test -e "$dir/ready"
  local t0 t1
  t0=$(now)
  /usr/bin/time -f "$TIMEFMT" -o "$dir/send.time" \
    "$BENCH/pipe_bridge" connect "$address" -- sz -q "$file" 2>"$dir/send.err" ||
    { echo "sz failed ($link):" >&2; cat "$dir/send.err" >&2; exit 1; }
  wait "$recv_pid" || { echo "rz failed ($link):" >&2; cat "$dir/recv.err" >&2; exit 1; }
  t1=$(now)
  check_same "$file" "$dir/save/data-$size.bin" "zmodem $link $size MiB"
  record zmodem "$link" "$size" "$rep" "$(elapsed "$t0" "$t1")" "$dir/send.time" "$dir/recv.time"
  rm -rf "$dir"
}

methods="quodem link link64"
[ $HAVE_ZMODEM -eq 1 ] && methods="$methods zmodem"
[ $HAVE_ZMODEM -eq 1 ] || log "sz/rz not installed: ZMODEM is not measured"

# Repetitions are interleaved (every method once, then again) so that a slow moment of the
# machine does not land on one method only.
for rep in $(seq "$REPS"); do
  for size in $SIZES; do
    for link in exchange tcp; do
      for method in $methods; do
        log "rep $rep/$REPS: $method over $link, $size MiB"
        "run_$method" "$link" "$size" "$rep"
      done
    done
  done
done

log "pacing check: $PACED_SIZE bytes at 33600 bit/s"
PACED=$(env QUODEM_EXCHANGE_DIR="$WORK/paced-exchange" "$BENCH/paced_call" --speed 33600 \
  --size "$PACED_SIZE" || echo "paced failed")

log "idle connected call, 5 s"
IDLE_EX=$(env QUODEM_EXCHANGE_DIR="$WORK/idle-exchange" QUODEM_CONFIG="$WORK/none.conf" \
  "$BENCH/idle_call" --seconds 5 --wait-line 1 --dial-line 0 --number 102 || echo "idle failed")
port=$(free_port)
printf '[line]\nprovider = tcp\nname = Bench TCP\nlisten = 127.0.0.1:%s\n' "$port" >"$WORK/idle.conf"
printf '[line]\nprovider = tcp\nname = Bench TCP\nlisten = 127.0.0.1:0\n' >"$WORK/idle-dial.conf"
IDLE_TCP=$(env QUODEM_EXCHANGE_DIR="$WORK/idle-exchange" QUODEM_CONFIG="$WORK/idle.conf" \
  "$BENCH/idle_call" --seconds 5 --wait-line 0 --dial-line 0 --number "127.0.0.1:$port" \
  --dial-config "$WORK/idle-dial.conf" || echo "idle failed")

# --- summary ------------------------------------------------------------------------------
# Medians per (method, link, size) of: MB/s, sender CPU, receiver CPU, sender RSS, receiver RSS.
SUMMARY=$WORK/summary.tsv
awk '
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  {
    key = $1 " " $2 " " $3
    bytes = $3 * 1048576
    mbs[key] = mbs[key] " " (bytes / $5 / 1e6)
    scpu[key] = scpu[key] " " ($6 + $7); srss[key] = srss[key] " " $8
    rcpu[key] = rcpu[key] " " ($9 + $10); rrss[key] = rrss[key] " " $11
    n[key]++
  }
  END {
    for (k in n)
      printf "%s %.1f %.2f %.2f %.1f %.1f %d\n", k, median(mbs[k]), median(scpu[k]), median(rcpu[k]),
        median(srss[k]) / 1024, median(rrss[k]) / 1024, n[k]
  }' "$RESULTS" | sort >"$SUMMARY"

get() {  # method link size field(4=MB/s 5=scpu 6=rcpu 7=srss 8=rrss)
  awk -v m="$1" -v l="$2" -v s="$3" -v f="$4" '$1 == m && $2 == l && $3 == s { print $f }' "$SUMMARY"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'; }
verdict() { awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN {
  if (v == "n/a" || v == "") { print "n/a"; exit }
  ok = (op == ">=") ? (v + 0 >= t + 0) : (op == "<") ? (v + 0 < t + 0) : (v + 0 <= t + 0)
  print ok ? "met" : "**missed**" }'; }

MODEL=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
{
  echo "## Transfer benchmark"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, ${MODEL:-unknown CPU}; Linux $(uname -r)."
  build_type=$(grep -m1 '^CMAKE_BUILD_TYPE' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null | cut -d= -f2)
  echo "Build: ${build_type:-RelWithDebInfo} ($(basename "$BUILD_DIR")),"
  echo "medians of $REPS run(s) each (\`bench/transfer_bench.sh$([ $QUICK -eq 1 ] && echo ' --quick')\`)."
  echo "MB/s is 10^6 bytes per second of wall time from starting the sender until both sides"
  echo "have exited and the file is complete. CPU is user+system seconds; RSS is peak resident memory."
  echo "\"link\" writes the file in 255-byte blocking writes and reads it into a file; \"link64\" does"
  echo "the same in 64 KiB writes. \"zmodem\" is sz/rz (lrzsz) over the same socket."
  echo
  echo "| Link | Size | Program | MB/s | CPU sender s | CPU receiver s | RSS sender MiB | RSS receiver MiB |"
  echo "|---|---|---|---:|---:|---:|---:|---:|"
  for size in $SIZES; do
    for link in exchange tcp; do
      for method in $methods; do
        read -r _ _ _ mb sc rc sr rr _ < <(grep "^$method $link $size " "$SUMMARY") || continue
        echo "| $link | $size MiB | $method | $mb | $sc | $rc | $sr | $rr |"
      done
    done
  done
  echo
  echo "| Link | Size | quodem ÷ ZMODEM (≥ 2) | quodem ÷ link64 (≥ 0.5) | CPU sender ÷ ZMODEM (≤ 1) | CPU receiver ÷ ZMODEM (≤ 1) | RSS receiver (< 16 MiB) | RSS sender (< 16 MiB) |"
  echo "|---|---|---|---|---|---|---|---|"
  for size in $SIZES; do
    for link in exchange tcp; do
      q=$(get quodem "$link" "$size" 4); l=$(get link64 "$link" "$size" 4); z=$(get zmodem "$link" "$size" 4)
      r1=$(ratio "$q" "$z"); r2=$(ratio "$q" "$l")
      c1=$(ratio "$(get quodem "$link" "$size" 5)" "$(get zmodem "$link" "$size" 5)")
      c2=$(ratio "$(get quodem "$link" "$size" 6)" "$(get zmodem "$link" "$size" 6)")
      rr=$(get quodem "$link" "$size" 8); sr=$(get quodem "$link" "$size" 7)
      echo "| $link | $size MiB | $r1 ($(verdict "$r1" '>=' 2)) | $r2 ($(verdict "$r2" '>=' 0.5)) | $c1 ($(verdict "$c1" '<=' 1)) | $c2 ($(verdict "$c2" '<=' 1)) | $rr ($(verdict "$rr" '<' 16)) | $sr ($(verdict "$sr" '<' 16)) |"
    done
  done
  echo
  echo "Pacing: an exchange call with speed = 33600 on both lines (bench/paced_call): the time from"
  echo "SendFile to OnFileReceive against the frame's bytes at 3360 bytes a second (target within"
  echo "5 %), and the longest time without an OnSentState (sender) or an OnLineReceive (receiver)"
  echo "between the start and the arrival (target at most 1 s):"
  echo
  echo "| Speed | File | Expected s | Took s | Deviation | Longest without OnSentState | Longest without OnLineReceive | Events sent / received |"
  echo "|---|---|---:|---:|---:|---:|---:|---:|"
  set -- $PACED
  if [ "${1:-}" = paced ]; then
    dev=${6#+}; dev=${dev#-}
    echo "| $2 bit/s | $3 bytes | $4 | $5 | $6 % ($(verdict "$dev" '<=' 5)) | $7 s ($(verdict "$7" '<=' 1)) | $8 s ($(verdict "$8" '<=' 1)) | $9 / ${10} |"
  else
    echo "| 33600 bit/s | $PACED_SIZE bytes | failed | | | | | |"
  fi
  echo
  echo "Idle connected call (nothing sent for 5 s), CPU of each process as % of one core (target < 1%):"
  echo
  echo "| Link | Waiting side | Dialing side |"
  echo "|---|---:|---:|"
  for pair in "exchange:$IDLE_EX" "tcp:$IDLE_TCP"; do
    link=${pair%%:*}; line=${pair#*:}
    set -- $line
    if [ "${1:-}" = idle ]; then
      echo "| $link | $3 % ($(verdict "$3" '<' 1)) | $4 % ($(verdict "$4" '<' 1)) |"
    else
      echo "| $link | failed | failed |"
    fi
  done
} >"$WORK/results.md"

cat "$WORK/results.md"
if [ -n "$OUTPUT" ]; then
  cp "$WORK/results.md" "$OUTPUT"
  log "results written to $OUTPUT"
fi
