#!/usr/bin/env bash
# Adds up the CTest runs of `make test` into one closing line.
# usage: test-summary.sh LOG...
passed=0
failed=0
for log in "$@"; do
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  [[ -n $line ]] || continue
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
done
echo "summary: $passed passed, $failed failed"
