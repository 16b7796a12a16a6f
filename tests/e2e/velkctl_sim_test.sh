#!/usr/bin/env bash
# The shipped library end to end, as a host loads it: velkctl linked against libvelk.so, with
# the virtual device preloaded in place of libusb, hidapi and the clock.
#   velkctl_sim_test.sh VELKCTL WORKDIR VERSION
set -u
velkctl=$1
work=$2
version=$3
mkdir -p "$work"
failures=0
checks=0

# check DESCRIPTION COMMAND...: one more check, failed when the command fails.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" || { echo "FAIL: $what"; failures=$((failures + 1)); }
}

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
    echo "FAIL: velkctl $* -> exit $status (want $want), output:"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
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
lines=$("$velkctl" --sim=vexo-dfu-firmware-1m dump-btm "$work/btm.dfu" + flash-btm "$work/btm.dfu" 2>&1 >/dev/null)
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
# A malformed xuv image: invalid image (exit 17), nothing flashed.
# Without --log, velkctl's private log gives the reason.
printf '@0 1 2\n' > "$work/bad.xuv"
expect 17 '^velkctl: flash-sqif: invalid firmware image: .* \(InvalidImage, code -65528\)$' \
  -- --sim flash-sqif "$work/bad.xuv"

echo "$((checks - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
