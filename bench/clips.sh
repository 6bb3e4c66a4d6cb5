#!/bin/bash
# What clips cost: the real build/camwatch on a 1280x720 H.264 file with motion in every frame
# (testsrc2, 25 fps, key frame every 2 s), waits 1 ms, snapshots, video and log off, in one
# run per round: no clips; clips by stream copy; clips encoded again (CLIPCOPY=OFF);
# continuous recording alone. CPU is user + system of the whole process. Then the ring's
# peak memory for PRECAPTURE=2 on a 1920x1080 H.264 file at 6 Mbit/s (build/bench/ring_bench).
#   bench/clips.sh      BENCH_CLIP_SECONDS=20 (video length), BENCH_REPEATS=3 (rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
seconds=${BENCH_CLIP_SECONDS:-20}
repeats=${BENCH_REPEATS:-3}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/camwatch-clips-XXXXXX")
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1280x720:r=25:d=$seconds" -c:v libx264 \
  -preset veryfast -b:v 4M -g 50 -pix_fmt yuv420p "$work/cam720.mp4"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=s=1920x1080:r=25:d=10" -c:v libx264 \
  -preset veryfast -b:v 6M -maxrate 6M -bufsize 6M -g 50 -pix_fmt yuv420p "$work/cam1080.mp4"

# run NAME KEY=VALUE...: prints the process's CPU seconds.
run() {
  local dir="$work/$1"
  shift
  rm -rf "$dir" && mkdir -p "$dir"
  {
    printf '%s\n' ALLCAM=1 MINMSEC=1 MAXMSEC=1 PATHJPG= PATHAVI= PATHLOG= CODEC=MJPG WINDOWS=OFF \
      OUTJPG=OFF OUTAVI=OFF OUTLOG=ON "SOURCE0=$work/cam720.mp4" "$@"
  } > "$dir/config.cfg"
  (
    cd "$dir"
    { until grep -q "Total time" cam0.log 2>/dev/null; do sleep 0.2; done; echo exit; } |
      /usr/bin/time -f "%U %S" -o time.txt "$build/camwatch" > /dev/null 2> stderr.txt
  )
  awk '{ print $1 + $2 }' "$dir/time.txt"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -a off copy encode rec
for ((r = 0; r < repeats; r++)); do
  off+=("$(run off OUTCLIP=OFF)")
  copy+=("$(run copy OUTCLIP=ON PRECAPTURE=2 POSTCAPTURE=2)")
  encode+=("$(run encode OUTCLIP=ON PRECAPTURE=2 POSTCAPTURE=2 CLIPCOPY=OFF)")
  rec+=("$(run rec OUTCLIP=OFF RECORD=continuous SEGMENT=600)")
done
o=$(median "${off[@]}") c=$(median "${copy[@]}") e=$(median "${encode[@]}") k=$(median "${rec[@]}")
echo "Clips, 1280x720 H.264, $seconds s at full speed, motion in every frame (median of $repeats; CPU s):"
echo "- clips off $o, copy $c, encode $e, continuous recording $k (rounds: off ${off[*]}; copy ${copy[*]}; encode ${encode[*]}; rec ${rec[*]})"
awk -v o="$o" -v c="$c" -v e="$e" -v k="$k" -v s="$seconds" 'BEGIN {
  printf "- clip CPU, copy over encode: %.3f (%.2f s against %.2f s beyond clips off)\n", (c - o) / (e - o), c - o, e - o
  printf "- whole program, clips (copy) on over off: %.3fx; clips encoded over off: %.2fx\n", c / o, e / o
  printf "- continuous recording over off: %.3fx (%+.2f s, %.2f %% of one core at the video'"'"'s own rate)\n", k / o, k - o, (k - o) / s * 100 }'
for f in "$work"/copy/cam0-2*.mp4; do
  [ -e "$f" ] && ffmpeg -nostdin -v error -i "$f" -f null - && echo "- the copied clip $(basename "$f") plays"
done
echo "Ring: $("$build/bench/ring_bench" "$work/cam1080.mp4" 2)"
