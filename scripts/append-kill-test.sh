#!/usr/bin/env bash
# Kills `veld append` with SIGKILL at a random moment, TRIALS times (20 by
# default), and checks that each file then reads either exactly as before the
# append or exactly as after it (compared through `veld unpack`).
# Usage: scripts/append-kill-test.sh [VELD_PROGRAM] [extra append options, e.g. --in-place]
# Exit status 0 only when every file read as before or as after.
set -euo pipefail

veld=${1:-build/release/bin/veld}
shift || true
trials=${TRIALS:-20}
[[ -x "$veld" ]] || { echo "no veld program at $veld (build it, or give its path)" >&2; exit 2; }
veld=$(cd "$(dirname "$veld")" && pwd)/$(basename "$veld")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A dictionary part and case data that compress about 2:1, as survey records do.
head -c 1000 /dev/urandom > dict.bin
od -An -tu2 -v -N 12000000 /dev/urandom > cases.txt
od -An -tu2 -v -N 8000000 /dev/urandom > more.bin
cat dict.bin cases.txt > before.dat
cat before.dat more.bin > after.dat
"$veld" pack before.dat base.zdat --row0 1000 --quiet

# One append undisturbed, to learn how long the moments to choose from last.
cp base.zdat timing.zdat
start=$(date +%s%N)
"$veld" append timing.zdat more.bin "$@" > /dev/null
span_ms=$(( ($(date +%s%N) - start) / 1000000 + 1 ))

as_before=0 as_after=0 neither=0
for ((i = 1; i <= trials; i++)); do
    cp base.zdat trial.zdat
    "$veld" append trial.zdat more.bin "$@" > /dev/null 2>&1 &
    pid=$!
    delay_ms=$(( (RANDOM * 32768 + RANDOM) % span_ms ))
    sleep "$(printf '%d.%03d' $((delay_ms / 1000)) $((delay_ms % 1000)))"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -f out.dat
    if "$veld" unpack trial.zdat out.dat --quiet > /dev/null 2>&1 && cmp -s out.dat before.dat; then
        as_before=$((as_before + 1)); verdict="as before"
    elif [[ -f out.dat ]] && cmp -s out.dat after.dat; then
        as_after=$((as_after + 1)); verdict="as after"
    else
        neither=$((neither + 1)); verdict="NEITHER"
    fi
    echo "trial $i: killed after ${delay_ms} ms of ${span_ms} ms: $verdict"
done
echo "$trials appends killed at random moments: $as_before read as before, $as_after as after, $neither neither"
[[ $neither -eq 0 ]]
