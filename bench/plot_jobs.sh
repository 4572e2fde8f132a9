#!/usr/bin/env bash
# Throughput of veld pack and unpack against the number of jobs, as a PNG.
# usage: bench/plot_jobs.sh VELD_PROGRAM [SIZE_MIB] [OUT.png]
# Makes SIZE_MIB of survey data with the program's own demo data, then packs
# and unpacks it with --jobs 1 .. cores (best of three runs each) and plots
# MiB/s with gnuplot (Debian package gnuplot-nox).
set -euo pipefail
veld=$1
size=${2:-256}
out=${3:-jobs.png}
# On tmpfs where there is one: the program syncs its output, and a disk's sync
# time would hide what the jobs change.
work=$(mktemp -d -p "$( [[ -d /dev/shm && -w /dev/shm ]] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$work"' EXIT
command -v gnuplot >/dev/null || { echo "gnuplot is not installed (gnuplot-nox)" >&2; exit 1; }

# The demo writes its survey file; its pack input is reused, cut or repeated to the size.
"$veld" demo --dir "$work/demo" >/dev/null
src=$(ls -S "$work"/demo/*.dat | head -1)
row0=$("$veld" info "$work/demo/$(basename "$src" .dat).zdat" --json 2>/dev/null | sed -n 's/.*"row0": *\([0-9]*\).*/\1/p' || true)
: "${row0:=4096}"
while [[ $(stat -c %s "$work/in.dat" 2>/dev/null || echo 0) -lt $((size << 20)) ]]; do cat "$src" >> "$work/in.dat"; done
bytes=$(stat -c %s "$work/in.dat")

best() {  # seconds of the fastest of three runs of "$@"
  local b=""
  for _ in 1 2 3; do
    local s e t
    s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc -l)
    if [[ -z "$b" ]] || (( $(echo "$t < $b" | bc -l) )); then b=$t; fi
  done
  echo "$b"
}

echo "# jobs pack_MiBps unpack_MiBps" > "$work/jobs.dat"
for ((j = 1; j <= $(nproc); ++j)); do
  p=$(best "$veld" pack "$work/in.dat" "$work/out.zdat" --row0 "$row0" --jobs "$j" --quiet)
  u=$(best "$veld" unpack "$work/out.zdat" "$work/back.dat" --row0 "$row0" --jobs "$j" --quiet)
  echo "$j $(echo "$bytes / $p / 1048576" | bc -l) $(echo "$bytes / $u / 1048576" | bc -l)" >> "$work/jobs.dat"
done
cat "$work/jobs.dat"
gnuplot <<GP
set terminal png size 800,500
set output "$out"
set title "veld: throughput against jobs ($((bytes >> 20)) MiB)"
set xlabel "jobs"; set ylabel "MiB/s"; set xtics 1; set grid; set key left top
plot "$work/jobs.dat" using 1:2 with linespoints title "pack", "" using 1:3 with linespoints title "unpack"
GP
echo "wrote $out"
