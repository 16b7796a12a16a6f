#!/usr/bin/env bash
# The shipped library end to end, as a host loads it: velkctl linked against libvelk.so, with
# the virtual device preloaded in place of libusb, hidapi and the clock.
#   velkctl_sim_test.sh VELKCTL WORKDIR VERSION
set -u
velkctl=$1
work=$2
version=$3
mkdir -p "$work"
source "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

# expect STATUS PATTERN -- ARGS...: runs velkctl, checks its exit status and that its output
# (stdout and stderr) matches the extended regular expression.
expect() {
  local want=$1 pattern=$2
  shift 3
  local out status
  checks=$((checks + 1))
  out=$("$velkctl" "$@" 2>&1)
  status=$?
  if [[ $status -ne $want ]] || ! grep -Eq -- "$pattern" <<<"$out"; then
    fail "velkctl $* -> exit $status (want $want), output:"
    echo "$out" | sed 's/^/    /'
  else
    echo "ok: velkctl $*"
  fi
}

expect 0 'mode: 1 BTM' -- --sim status
expect 0 'mode: 2 DFU' -- --sim=vexo-dfu status
expect 0 'mode: 3 SQIF' -- --sim=vexo-sqif status
expect 0 'mode: 4 DSP' -- --sim=vexo-dsp status
expect 3 'no device opened' -- --sim=none status
expect 3 'no device opened' -- --sim=two status
expect 0 "^velkctl $version\$" -- --version
expect 0 'pskey get KEY \[N\]' -- --help
# Usage errors name the command and show its usage line; sizes are checked before anything is
# allocated or the device is opened.
expect 2 "unknown command 'pskey frobnicate 1'" -- --sim pskey frobnicate 1
expect 2 "pskey set: KEY must be a number from 0 to 65535, not '0x10000'" -- --sim pskey set 0x10000 1
expect 2 '^usage: velkctl \[OPTIONS\] pskey set KEY WORD\.\.\.$' -- --sim pskey set 0x10000 1
expect 2 "pskey get: N must be a number from 0 to 118, not '0xffffffff'" -- --sim pskey get 1 0xffffffff
expect 2 'read-dsp: ADDR \+ LEN must not pass the end' -- --sim read-dsp 0x3ff000 0x2000 "$work/x"
expect 2 'status: wrong number of arguments' -- --sim status + status 1
# ... also with no device there, and for the last command of a chain.
expect 2 "pskey get: N must be a number from 0 to 118, not '119'" -- --sim=none status + pskey get 1 119

log="$work/session.log"
rm -f "$log"
expect 0 'pskey 0x0022: 0x1234 0xbeef 0x0001' -- --sim --log "$log" \
  pskey set 0x22 0x1234 0xbeef 1 + pskey get 0x22 + pskey clear 0x22 + status
check "banner in $log" grep -Eq "^[0-9:]{8} \[INFO\] VELK v${version//./\\.}-gb1f23bd\$" "$log"

# From DFU mode a persistent-store read restarts the device into BTM mode first.
expect 0 'pskey 0x02ad: 0x0000' -- --sim=vexo-dfu pskey get 0x2ad + status
expect 0 'mode: 1 BTM' -- --sim=vexo-sqif reset + status

# A value longer than the buffer: invalid argument, exit 10 + 3; the reason in the log and on
# standard error with the code's name.
rm -f "$log"
expect 13 '^velkctl: pskey get: invalid argument: supplied buffer too small: 0x3 > 0x1 \(InvalidArgument, code -65532\)$' \
  -- --sim --log "$log" pskey set 0x100 1 2 3 + pskey get 0x100 1
check "error record in $log" grep -q '\[ERROR\] invalid argument: supplied buffer too small: 0x3 > 0x1' "$log"

# Transfers: a firmware dump flashed back, DSP data written and read back.
printf 'velk\n%.0s' $(seq 600) > "$work/data.bin"
rm -f "$work/btm.dfu" "$work/back.bin"
# Standard error is no terminal here: no bar, one line per finished transfer.
expect 0 'flash-btm: done' -- --sim=vexo-dfu-firmware dump-btm "$work/btm.dfu" + flash-btm "$work/btm.dfu" \
  + write-dsp 0x20000 "$work/data.bin" + read-dsp 0x20000 3000 "$work/back.bin"
check "DSP data read back" cmp -s "$work/data.bin" "$work/back.bin"
lines=$("$velkctl" --sim=vexo-dfu-firmware-1m dump-btm --force "$work/btm.dfu" + flash-btm "$work/btm.dfu" 2>&1 >/dev/null)
check "one progress line per transfer without a terminal" \
  test "$lines" = $'dump-btm: 1048576 bytes\nflash-btm: 1048576 bytes'
# On a terminal the bar of a 1 MiB transfer (a thousand reports) is drawn a few times, and last
# with the whole count.
if command -v script >/dev/null; then
  script -qc "'$velkctl' --sim=vexo-dfu-firmware-1m flash-btm '$work/btm.dfu'" /dev/null >"$work/tty.txt"
  draws=$(tr '\r' '\n' <"$work/tty.txt" | grep -c 'bytes\|%')
  check "the bar is redrawn at most ten times a second ($draws drawings)" test "$draws" -le 20
  check "the bar ends with the whole count" grep -q $'1048576 bytes   \r' "$work/tty.txt"
fi
# A failure of the library: without --log, velkctl's private log gives the reason.
expect 13 '^velkctl: pskey get: invalid argument: supplied buffer too small: 0x2 > 0x1 \(InvalidArgument, code -65532\)$' \
  -- --sim pskey set 0x100 1 2 + pskey get 0x100 1

# ---- Files: made here, the DFU file by a dump of the virtual device's firmware.
files="$work/files"
f=$files
rm -rf "$files" && mkdir -p "$files/adir"
"$velkctl" --sim=vexo-dfu-firmware dump-btm "$files/good.dfu" >/dev/null 2>&1
python3 - "$files" <<'PY'
import struct, sys
d = sys.argv[1]
def record(start, length, command, body=b""):
    h = bytearray(64)
    struct.pack_into(">I", h, 0, ((2 * start + length) % 2**32) // 2)
    struct.pack_into(">II", h, 12, start, length)
    h[62], h[63] = 0xEE, command
    return bytes(h) + body
# Word addresses: 0x8000 is byte address 0x10000, the first above the protected loader.
good_ff = record(0x8000, 0x10000 // 2, 0x21) + record(0x8000, 8, 0x14, b"velkvelk")
open(f"{d}/good.ff", "wb").write(good_ff)
open(f"{d}/truncated.ff", "wb").write(good_ff[:-3])
open(f"{d}/protected.ff", "wb").write(record(0x800, 4, 0x14, b"abcd"))
open(f"{d}/good.xuv", "w").write("@0 1234\n@1 5678\n@10 9abc\n")
open(f"{d}/truncated.xuv", "w").write("@0 1234\n@")
open(f"{d}/empty.xuv", "w").write("\n")
loader = bytearray(52)
loader[0:2] = b"\x09\xa5"
open(f"{d}/loader.bin", "wb").write(bytes(loader))
open(f"{d}/truncated-loader.bin", "wb").write(bytes(loader[:40]))
open(f"{d}/data.bin", "wb").write(b"velk" * 100)
open(f"{d}/empty", "wb").close()
# The dump's DFU file made out for another vendor, with its CRC made right again.
import zlib
dfu = bytearray(open(f"{d}/good.dfu", "rb").read())
struct.pack_into("<H", dfu, len(dfu) - 12, 0x1234)
struct.pack_into("<I", dfu, len(dfu) - 4, ~zlib.crc32(bytes(dfu[:-4])) & 0xFFFFFFFF)
open(f"{d}/other.dfu", "wb").write(bytes(dfu))
PY
head -c 100 "$files/good.dfu" >"$files/truncated.dfu"
touch "$files/exists.bin"

# expect_untouched STATUS PATTERN -- ARGS...: as expect, and the virtual device got no request
# at all: its request log is empty, or not even written when velkctl stopped at a usage error
# before it started itself again with the device preloaded.
expect_untouched() {
  local want=$1 pattern=$2
  shift 3
  local requests="$work/requests.log"
  rm -f "$requests"
  checks=$((checks + 1))
  local out status
  out=$(VELK_SIM_REQUEST_LOG="$requests" "$velkctl" --sim "$@" 2>&1 </dev/null)
  status=$?
  if [[ $status -ne $want ]] || ! grep -Eq -- "$pattern" <<<"$out" || [[ -s $requests ]]; then
    fail "velkctl --sim $* -> exit $status (want $want), output:"
    echo "$out" | sed 's/^/    /'
    [[ -f $requests ]] && head -3 "$requests" | sed 's/^/    request: /'
  else
    echo "ok (untouched): velkctl --sim $*"
  fi
}

# Every file argument given what a careless user gives it: the right exit status, one line naming
# the file and the reason, no crash, and the device never opened. A good command before the bad
# one shows that nothing of the chain runs.
words119=$(printf '1 %.0s' $(seq 119))
while IFS='|' read -r want pattern args; do
  # shellcheck disable=SC2086 # the arguments are words
  expect_untouched "$want" "$pattern" -- pskey set 0x22 7 + $args
done <<TABLE
2|flash-btm: $f/adir: is a directory|flash-btm $f/adir
2|flash-btm: $f/missing.dfu: no such file|flash-btm $f/missing.dfu
17|flash-btm: $f/empty: invalid firmware image: firmware image too small|flash-btm $f/empty
17|flash-btm: $f/truncated.dfu: invalid firmware image: |flash-btm $f/truncated.dfu
17|flash-btm: $f/good.xuv: invalid firmware image: |flash-btm $f/good.xuv
17|flash-btm: $f/other.dfu: invalid firmware image: the file is for 1234:1301, which is not the Vexo's boot loader|flash-btm $f/other.dfu
2|flash-sqif: $f/adir: is a directory|flash-sqif $f/adir
2|flash-sqif: $f/missing.xuv: no such file|flash-sqif $f/missing.xuv
2|flash-sqif: $f/empty: no data line.*--erase|flash-sqif $f/empty
2|flash-sqif: $f/empty.xuv: no data line.*--erase|flash-sqif $f/empty.xuv
17|flash-sqif: $f/truncated.xuv: invalid firmware image: invalid line: "@"|flash-sqif $f/truncated.xuv
17|flash-sqif: $f/good.dfu: invalid firmware image: invalid xuv file|flash-sqif $f/good.dfu
2|flash-dsp: $f/adir: is a directory|flash-dsp $f/adir
2|flash-dsp: $f/missing.ff: no such file|flash-dsp $f/missing.ff
2|flash-dsp: $f/empty: holds no section|flash-dsp $f/empty
17|flash-dsp: $f/truncated.ff: invalid firmware image: unexpected FF EOF|flash-dsp $f/truncated.ff
17|flash-dsp: $f/protected.ff: invalid firmware image: write section overwrites protected memory: 0x1000|flash-dsp $f/protected.ff
17|flash-dsp: $f/good.xuv: invalid firmware image: invalid FF block|flash-dsp $f/good.xuv
2|write-dsp: $f/adir: is a directory|write-dsp 0x20000 $f/adir
2|write-dsp: $f/missing.bin: no such file|write-dsp 0x20000 $f/missing.bin
2|write-dsp: $f/empty: is empty|write-dsp 0x20000 $f/empty
17|write-dsp: $f/truncated-loader.bin: invalid firmware image: invalid loader image: Image too small: 0x28|write-dsp 0 $f/truncated-loader.bin
17|write-dsp: $f/data.bin: invalid firmware image: invalid loader address: 0x2000|write-dsp 0x2000 $f/data.bin
17|write-dsp: $f/data.bin: invalid firmware image: firmware image out of bounds|write-dsp 0x3fffff $f/data.bin
2|dump-btm: $f/adir: is a directory|dump-btm $f/adir
2|dump-btm: $f/exists.bin: exists \(--force replaces it\)|dump-btm $f/exists.bin
2|dump-btm: $f/nofolder/x.dfu: the folder $f/nofolder does not exist|dump-btm $f/nofolder/x.dfu
2|dump-btm: $f/exists.bin/x.dfu: $f/exists.bin is not a folder|dump-btm --force $f/exists.bin/x.dfu
2|read-dsp: $f/adir: is a directory|read-dsp 0x20000 16 $f/adir
2|read-dsp: /nonexistent-dir/x.bin: the folder /nonexistent-dir does not exist|read-dsp 0x20000 16 /nonexistent-dir/x.bin
2|read-dsp: $f/exists.bin: exists|read-dsp 0x20000 16 $f/exists.bin
2|pskey set: give at least one WORD|pskey set 0x22
2|pskey set: at most 118 words fit in a key, not 119|pskey set 0x22 $words119
2|standard input can be read by one command only|flash-btm - + flash-dsp -
2|flash-sqif: unknown option '--verify'|flash-sqif --verify $f/good.xuv
TABLE
if [[ $EUID -ne 0 ]]; then # root may write anywhere
  mkdir -p "$files/locked" && chmod 555 "$files/locked"
  expect_untouched 2 "the folder $f/locked is not writable" -- dump-btm "$f/locked/x.dfu"
fi

# ---- check: what each file is, offline; exit 0 only when every file is valid.
expect 0 "good.dfu: DFU file: valid" -- check "$f/good.dfu" "$f/good.xuv" "$f/good.ff"
expect 0 "for: the Vexo's boot loader at 7a11:1301" -- check "$f/good.dfu"
expect 0 "3 words at word addresses 0x0 to 0x10" -- check "$f/good.xuv"
expect 0 "erase 0x10000 bytes at 0x10000 \(1 sector\)" -- check "$f/good.ff"
expect 0 "no data line" -- check "$f/empty.xuv"
expect 17 "truncated.dfu: DFU file: NOT valid: invalid firmware image" -- check "$f/good.xuv" "$f/truncated.dfu"
expect 17 "truncated.xuv: xuv image: NOT valid" -- check "$f/truncated.xuv"
expect 17 "protected.ff: FF image: NOT valid: .*protected memory" -- check "$f/protected.ff"
expect 17 "data.bin: unknown: NOT valid" -- check "$f/data.bin"
expect 2 "adir: unreadable: NOT valid: is a directory" -- check "$f/adir"
check "velkctl check - (standard input)" grep -q -- '^-: xuv image: valid' \
  < <("$velkctl" check - <"$f/good.xuv")

# ---- --json: one object per command, parsed.
json=$("$velkctl" --sim --json status + pskey set 0x22 1 2 + pskey get 0x22 + check "$f/good.ff" 2>/dev/null)
check "--json: one object per command" python3 -c '
import json, sys
objects = [json.loads(line) for line in sys.argv[1].splitlines()]
assert [o["command"] for o in objects] == ["status", "pskey set", "pskey get", "check"], objects
assert all(o["ok"] and o["code"] == 0 for o in objects), objects
assert objects[0]["mode_name"] == "BTM" and objects[2]["words"] == [1, 2], objects
assert objects[3]["files"][0]["format"] == "FF image" and objects[3]["files"][0]["valid"], objects
' "$json"
json=$("$velkctl" --sim --json pskey set 0x100 1 2 + pskey get 0x100 1 2>/dev/null)
check "--json: a failure with its kind and code" python3 -c '
import json, sys
failed = json.loads(sys.argv[1].splitlines()[-1])
assert not failed["ok"] and failed["code"] == -65532 and failed["kind"] == "InvalidArgument", failed
assert "supplied buffer too small" in failed["message"], failed
' "$json"

# ---- list: every attached identity, also with two devices (where nothing else works).
expect 0 'BTM   7a11:1300  bus 1 port 2' -- --sim=two list
expect 0 'SQIF  0a12:1012' -- --sim=vexo-sqif list
expect 3 'no Vexo attached; looked for 7a11:0001 DSP, 7a11:odd DFU, 7a11:even BTM, 0a12:1012 SQIF' -- --sim=none list
expect 3 'udev rules' -- --sim=none status

# ---- Verify, safety habits, standard input and output.
expect 0 'flash-btm: done, verified' -- --sim=vexo-dfu-firmware flash-btm --verify "$f/good.dfu"
expect 0 'flash-dsp: done, verified' -- --sim flash-dsp --verify "$f/good.ff"
expect 0 'write-dsp: done, verified' -- --sim write-dsp --verify 0x20000 "$f/data.bin"
expect 0 'flash-sqif: erased' -- --sim flash-sqif --erase "$f/empty.xuv"
expect 0 'flash-sqif: erased' -- --sim flash-sqif --erase
expect 0 'read-dsp: written to' -- --sim write-dsp 0x20000 "$f/data.bin" + read-dsp --force 0x20000 16 "$f/exists.bin"
check "read-dsp --force replaced the file" test "$(cat "$f/exists.bin")" = velkvelkvelkvelk
out=$("$velkctl" --sim write-dsp 0x20000 - + read-dsp 0x20000 400 - <"$f/data.bin" 2>"$work/stderr.txt")
check "- is standard input and output" test "$out" = "$(cat "$f/data.bin")"
check "status lines on standard error when standard output carries data" \
  grep -q '^write-dsp: done$' "$work/stderr.txt"
"$velkctl" --sim=vexo-dfu-firmware dump-btm - >"$work/stdout.dfu" 2>/dev/null
check "dump-btm - writes the DFU file to standard output" cmp -s "$work/stdout.dfu" "$f/good.dfu"

# ---- Help: per command; the man page and the completion know every command.
expect 0 '^usage: velkctl \[OPTIONS\] pskey set KEY WORD\.\.\.$' -- help pskey set
expect 0 '--verify +read the firmware back' -- flash-btm --help
expect 2 "help: no command named 'frobnicate'" -- help frobnicate
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
while read -r name; do
  check "velkctl.1 describes $name" grep -q "^\\.B $name\\b" "$source_dir/tools/velkctl/velkctl.1"
  check "the completion offers $name" grep -qw "${name%% *}" "$source_dir/tools/velkctl/velkctl.bash-completion"
done < <("$velkctl" --help | sed -n '/^commands:/,/^$/p' | sed -n 's/^  \([a-z-]*\( [a-z]*\)\?\) .*/\1/p')

# ---- Ctrl-C. velkctl is held inside a command by a reader of its standard output that reads
# nothing until told to: the first Ctrl-C stops the chain after the command; a second one ends
# velkctl at once, and its temporary file goes with it.
# wait_for FILE PATTERN: until the file holds the pattern (at most 10 s).
wait_for() {
  for _ in $(seq 200); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
pipe="$work/stdout.fifo" go="$work/go" tmp="$work/tmp"
rm -rf "$pipe" "$go" "$tmp" && mkfifo "$pipe" && mkdir -p "$tmp"
(exec 3<"$pipe"; until [[ -e $go ]]; do sleep 0.05; done; cat <&3 >/dev/null) &
"$velkctl" --sim read-dsp 0 0x400000 - + status >"$pipe" 2>"$work/ctrl-c.txt" &
pid=$!
wait_for "$work/ctrl-c.txt" 'read-dsp: 4194304 bytes' && kill -INT $pid
wait_for "$work/ctrl-c.txt" 'Ctrl-C: stopping after read-dsp has finished'
touch "$go"
wait $pid
check "the first Ctrl-C stops the chain after the running command (exit 130)" test $? -eq 130
check "... and says so" grep -q 'stopped by Ctrl-C before status; 1 command not run' "$work/ctrl-c.txt"
wait
rm -f "$go"
(exec 3<"$pipe"; until [[ -e $go ]]; do sleep 0.05; done; cat <&3 >/dev/null) &
TMPDIR=$tmp "$velkctl" --sim=vexo-dfu-firmware-1m dump-btm - + status >"$pipe" 2>"$work/ctrl-c.txt" &
pid=$!
wait_for "$work/ctrl-c.txt" 'dump-btm: 1048576 bytes' && kill -INT $pid
wait_for "$work/ctrl-c.txt" 'Ctrl-C: stopping after' && kill -INT $pid
wait $pid
check "a second Ctrl-C ends velkctl at once (exit 130)" test $? -eq 130
check "... says which mode the device may be in" \
  grep -q 'stopped at once during dump-btm; the device may be left in DFU mode' "$work/ctrl-c.txt"
check "... and leaves no temporary file" test -z "$(ls -A "$tmp")"
touch "$go"
wait

finish
