# Sourced by the realstack tests: runs the shipped velkctl (libvelk.so with Debian's libusb and
# hidapi-hidraw) under umockdev against the virtual Vexo at the kernel interface, and counts
# checks.
#   source realstack.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR
# with SAMPLE_IMAGE in the environment: the program that writes the firmware image the model's
# loader holds (--firmware).
set -u
wrapper=$1
kernel=$2
velkctl=$3
work=$4
rm -rf "$work"
mkdir -p "$work/tmp"
# umockdev makes its testbeds here, so that a run that is killed leaves nothing elsewhere.
export TMPDIR=$work/tmp
source "$(dirname "${BASH_SOURCE[0]}")/../support/check.sh"

# run NAME STATUS PATTERN [MODEL OPTIONS...] -- PROGRAM [ARGS...]: runs the program under the
# model with the case's trace in $work/NAME/trace; checks its exit status, that its output
# (and the model's) matches the extended regular expression, and that the testbed is gone.
run() {
  local name=$1 want=$2 pattern=$3
  shift 3
  local options=()
  while [[ $1 != -- ]]; do
    options+=("$1")
    shift
  done
  shift
  mkdir -p "$work/$name"
  local start=$SECONDS
  output=$("$wrapper" "$kernel" --trace "$work/$name/trace" "${options[@]}" -- "$@" 2>&1)
  local status=$?
  checks=$((checks + 1))
  if [[ $status -ne $want ]] || ! grep -Eq -- "$pattern" <<<"$output"; then
    fail "$name: exit $status (want $want), output:"
    sed 's/^/    /' <<<"$output"
  else
    echo "ok: $name ($((SECONDS - start)) s)"
  fi
  checks=$((checks + 1))
  if [[ -n $(ls -A "$TMPDIR") ]]; then
    fail "$name: the testbed stayed behind: $(ls -A "$TMPDIR")"
    rm -rf "${TMPDIR:?}"/*
  fi
}

# velkctl NAME STATUS PATTERN [MODEL OPTIONS...] -- VELKCTL ARGS...: run with velkctl, its log
# in $work/NAME/log.
velkctl() {
  local name=$1 want=$2 pattern=$3
  shift 3
  local args=("$@") i=0
  while [[ ${args[i]} != -- ]]; do i=$((i + 1)); done
  run "$name" "$want" "$pattern" "${args[@]:0:i+1}" "$velkctl" --log "$work/$name/log" \
    "${args[@]:i+1}"
}

# sample_firmware FILE: writes the firmware image that the model's loader holds (--firmware).
sample_firmware() {
  "${SAMPLE_IMAGE:?the tool that writes the sample firmware}" write "$1"
}

# new_image PATH: a new firmware image of 5 blocks in PATH.bin, and in PATH.dfu with the suffix
# velk writes (the product ID with bit 0 clear), written by the dfu-suffix in $dfu_suffix.
new_image() {
  perl -e 'print pack("C*", map { ($_ * 7 + 3) % 251 } 0 .. 4999)' >"$1.bin"
  cp "$1.bin" "$1.dfu"
  "$dfu_suffix" -v 7a11 -p 1300 -d ffff -a "$1.dfu" >/dev/null
}
