# Sourced by the realstack tests: runs the shipped velkctl (libvelk.so with Debian's libusb and
# hidapi-hidraw) under umockdev against the virtual Vexo at the kernel interface, and counts
# checks.
#   source realstack.sh UMOCKDEV_WRAPPER VEXO_KERNEL VELKCTL WORKDIR
set -u
wrapper=$1
kernel=$2
velkctl=$3
work=$4
rm -rf "$work"
mkdir -p "$work/tmp"
# umockdev makes its testbeds here, so that a run that is killed leaves nothing elsewhere.
export TMPDIR=$work/tmp
failures=0
checks=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: one more check, failed when the command fails.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then echo "ok: $what"; else fail "$what"; fi
}

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

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [[ $failures -eq 0 ]]
}
