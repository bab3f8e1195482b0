#!/bin/sh
# run_fuzz.sh TARGET SEEDS SECONDS: fuzzes for SECONDS from the seeds, with
# a scratch corpus for what it finds; fails on the first broken invariant.
target=$1 seeds=$2 seconds=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 "$scratch" "$seeds"
