#!/usr/bin/env bash
# Model-checks two protocols with spin; each model as the code runs it must
# reach no deadlock (no invalid end state) and break no assertion, and a
# variant with one known fault must be caught, which shows that the check
# would catch it:
#   verify/lock_order.pml        the framework's lock order; -DINVERTED, one
#                                order turned round, must deadlock;
#   verify/deferred_release.pml  the service stub's binding, its calls in
#                                flight and the deferred release of what it
#                                lets go of; -DNOT_DEFERRED (released at once)
#                                must kill a service under a call, and
#                                -DLOCK_KEPT (the stub's mutex kept across the
#                                binding call) must hang the callback.
# Build products go to build/verify/.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/verify

# run MODEL NAME [SPIN-OPTION...]: generates, compiles and runs the verifier
# of verify/MODEL.pml in build/verify/NAME; its report is
# build/verify/NAME/pan.out.
run() {
  local model=$1 dir=$out/$2
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "verify/$model.pml" "$dir/"
  (
    cd "$dir"
    spin "$@" -a "$model.pml" >spin.out
    gcc -O2 -DSAFETY -DCOLLAPSE -o pan pan.c
    ./pan -m10000 >pan.out 2>&1 || true
  )
}

fail() {
  echo "verify: $1 (report: $2)" >&2
  tail -n 25 "$2" >&2
  exit 1
}

# passes NAME MODEL WHAT: the model must hold.
passes() {
  run "$2" "$1"
  local report=$out/$1/pan.out
  grep -q "max search depth too small" "$report" && fail "search depth too small" "$report"
  grep -q "errors: 0" "$report" || fail "spin found a deadlock or an assertion violation" "$report"
  local states
  states=$(sed -n 's/^ *\([0-9][0-9]*\) states, stored.*/\1/p' "$report")
  echo "verify $3: no deadlock, no assertion violation ($states states)"
}

# caught NAME MODEL DEFINE FINDING WHAT: the faulty variant must be caught
# with FINDING (a pattern of spin's report).
caught() {
  run "$2" "$1" "-D$3"
  local report=$out/$1/pan.out
  grep -Eq "$4" "$report" || fail "the variant $3 was not caught" "$report"
  echo "verify $5: caught, as expected"
}

passes lock_order lock_order "lock order"
caught inverted lock_order INVERTED "invalid end state" "inverted lock order: deadlock"
passes deferred_release deferred_release "deferred release"
caught not_deferred deferred_release NOT_DEFERRED "assertion violated" "release not deferred: a service dies under a call"
caught lock_kept deferred_release LOCK_KEPT "invalid end state|assertion violated" "stub mutex kept across the call: the callback hangs"
