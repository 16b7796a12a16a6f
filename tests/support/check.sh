# Sourced by the shell tests: counts checks and failures, and ends the run with its verdict.
# A test that sets check_prefix before sourcing gets it in front of every line it prints.
check_prefix=${check_prefix-}
failures=0
checks=0

# fail DESCRIPTION: one more failure (the check it belongs to is already counted).
fail() {
  echo "${check_prefix}FAIL: $*"
  failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: one more check, failed when the command fails.
check() {
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then echo "${check_prefix}ok: $what"; else fail "$what"; fi
}

# finish: the counts, and an exit status of 0 only when nothing failed.
finish() {
  echo "${check_prefix}$((checks - failures)) passed, $failures failed"
  [[ $failures -eq 0 ]]
}
