# Sourced by scripts/bench: ten network cameras on one machine. Ten ffmpeg servers send a
# 1280x720 15 fps H.264 file over HTTP as MPEG-TS, copying its packets (so they cost little),
# to camwatch with MINMSEC=40 and MAXMSEC=100, for BENCH_TEN_SECONDS (30) after a 10 s warm-up,
# once per scene (a still scene with sensor noise, a busy one that moves everywhere) and per
# outputs (the log only, and snapshots + video + log). Reported: camwatch's CPU as a percentage
# of one core, the frames analysed per camera per second, peak RSS in all and per camera.
#   BENCH_TEN="still busy" (the scenes; empty skips this part), BENCH_TEN_CAMS=10,
#   BENCH_TEN_OUTPUTS="log all", BENCH_TEN_IDLE=keyframes (sets IDLEDECODE; empty: not set),
#   BENCH_TEN_WARMUP (10 s; 25 s with BENCH_TEN_IDLE)
# Expects from scripts/bench: $root, $work, json_ten (array, filled here).

ten_seconds=${BENCH_TEN_SECONDS:-30}
ten_cams=${BENCH_TEN_CAMS:-10}
ten_outputs=${BENCH_TEN_OUTPUTS:-"log all"}
ten_idle=${BENCH_TEN_IDLE:-}
# An idle camera starts saving only IDLEAFTER (10) s after its start-up event has ended
# (EVENTGAP, 10 s): with IDLEDECODE the measurement starts after that.
ten_warmup=${BENCH_TEN_WARMUP:-$([ -n "$ten_idle" ] && echo 25 || echo 10)}

ten_video() {  # ten_video <scene> <file>
  local source
  case "$1" in
    still) source="color=c=0x506070:s=1280x720:r=15,drawbox=x=400:y=200:w=300:h=200:c=0x8090a0:t=fill,noise=alls=6:allf=t" ;;
    busy) source="testsrc2=s=1280x720:r=15" ;;
  esac
  ffmpeg -nostdin -v error -f lavfi -i "$source" -t 20 -c:v libx264 -preset veryfast -g 30 \
    -pix_fmt yuv420p "$2"
}

ten_status_frames() {  # total frames analysed, from the status API
  curl -s -m 5 "http://127.0.0.1:$1/api/status" |
    python3 -c 'import json,sys; print(sum(c["frames"] for c in json.load(sys.stdin)["cameras"]))'
}

ten_cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

ten_run() {  # ten_run <scene> <outputs: log|all> -> one table row, one JSON object
  local scene=$1 outputs=$2 dir="$work/ten-$1-$2" ports=() servers=() i
  mkdir -p "$dir/out"
  for ((i = 0; i < ten_cams; i++)); do
    ports+=("$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')")
    ffmpeg -nostdin -v error -re -stream_loop -1 -i "$work/ten-$scene.mp4" -c copy -f mpegts \
      -listen 1 "http://127.0.0.1:${ports[i]}/cam" 2> /dev/null &
    servers+=($!)
  done
  local web
  web=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  local jpg=OFF
  [ "$outputs" = all ] && jpg=ON
  {
    echo "ALLCAM=$ten_cams"; echo "MINMSEC=40"; echo "MAXMSEC=100"
    echo "PATHJPG=out/"; echo "PATHAVI=out/"; echo "PATHLOG=out/"; echo "CODEC=MJPG"
    echo "OUTJPG=$jpg"; echo "OUTAVI=$jpg"; echo "OUTLOG=ON"; echo "WEBPORT=$web"
    if [ -n "$ten_idle" ]; then echo "IDLEDECODE=$ten_idle"; fi
    for ((i = 0; i < ten_cams; i++)); do echo "SOURCE$i=http://127.0.0.1:${ports[i]}/cam"; done
  } > "$dir/config.cfg"
  sleep 1  # the servers listen
  (cd "$dir" && exec "$root/build/camwatch" --no-console > "$dir/stdout" 2> "$dir/stderr") &
  local pid=$!
  sleep "$ten_warmup"
  local f0 c0 f1 c1 hz
  hz=$(getconf CLK_TCK)
  f0=$(ten_status_frames "$web"); c0=$(ten_cpu_ticks "$pid")
  sleep "$ten_seconds"
  f1=$(ten_status_frames "$web"); c1=$(ten_cpu_ticks "$pid")
  local hwm
  hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
  kill -TERM "$pid"; wait "$pid" || true
  kill "${servers[@]}" 2> /dev/null || true
  wait "${servers[@]}" 2> /dev/null || true
  awk -v s="$scene" -v o="$outputs" -v n="$ten_cams" -v t="$ten_seconds" -v hz="$hz" \
      -v f0="$f0" -v f1="$f1" -v c0="$c0" -v c1="$c1" -v hwm="$hwm" 'BEGIN {
    cpu = (c1 - c0) / hz / t * 100; fps = (f1 - f0) / n / t
    printf "| %s | %s | %d | %.0f %% | %.1f %% | %.1f | %.0f | %.1f |\n", s, o, n, cpu, cpu / n, fps,
           hwm / 1024, hwm / 1024 / n }'
  json_ten+=("$(awk -v s="$scene" -v o="$outputs" -v n="$ten_cams" -v t="$ten_seconds" -v hz="$hz" \
      -v f0="$f0" -v f1="$f1" -v c0="$c0" -v c1="$c1" -v hwm="$hwm" 'BEGIN {
    cpu = (c1 - c0) / hz / t * 100; fps = (f1 - f0) / n / t
    printf "{\"scene\":\"%s\",\"outputs\":\"%s\",\"cameras\":%d,\"cpu_pct_one_core\":%.1f,", s, o, n, cpu
    printf "\"cpu_pct_per_camera\":%.2f,\"analysed_fps_per_camera\":%.2f,", cpu / n, fps
    printf "\"peak_rss_mb\":%.1f,\"peak_rss_mb_per_camera\":%.1f}", hwm / 1024, hwm / 1024 / n }')")
}

echo
echo "Ten network cameras (1280x720 H.264, 15 fps, MINMSEC=40, MAXMSEC=100${ten_idle:+, IDLEDECODE=$ten_idle}, ${ten_seconds} s after ${ten_warmup} s):"
printf '| scene | outputs | cameras | CPU (one core) | per camera | analysed fps per camera | peak RSS MB | per camera |\n'
printf '|---|---|---|---|---|---|---|---|\n'
for scene in $ten_scenes; do
  ten_video "$scene" "$work/ten-$scene.mp4"
  for outputs in $ten_outputs; do ten_run "$scene" "$outputs"; done
done
