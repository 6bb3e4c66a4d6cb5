# Sourced by scripts/bench after the store benchmark kept its store ($review_store): the review
# view in headless Chromium on that store, as a user opens it. The rows are pointed at files
# that exist (else the program's start-up reconciliation would drop them), the newest 400
# events get a thumbnail, the page cache is dropped where allowed, and camwatch starts on the
# store with one still camera; bench/review_load.py then loads the review view five times.
# Expects from scripts/bench: $root, $work, $review_store.
review_dir="$work/review"
mkdir -p "$review_dir/thumbs" "$review_dir/files"
mv "$review_store" "$review_dir/events.db"
ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=320x240 -frames:v 1 -q:v 4 "$review_dir/files/a.jpg"
python3 - "$review_dir" <<'PY'
import shutil, sqlite3, sys
folder = sys.argv[1]
shot = folder + "/files/a.jpg"
db = sqlite3.connect(folder + "/events.db")
db.execute("UPDATE events SET snap1=?1, snap2=?1, clip=?1", (shot,))
db.commit()
for camera, start in db.execute("SELECT camera, start FROM events ORDER BY start DESC LIMIT 400"):
    shutil.copy(shot, "%s/thumbs/%d-%d.jpg" % (folder, camera, start))
db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
PY
review_free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
review_cam=$(review_free_port)
review_web=$(review_free_port)
ffmpeg -nostdin -v error -re -f lavfi -i "color=c=0x506070:s=640x480:r=10" -t 300 -c:v mjpeg \
  -f mpjpeg -listen 1 "http://127.0.0.1:$review_cam/cam" > /dev/null 2>&1 &
review_server=$!
printf 'ALLCAM=1\nSOURCE0=http://127.0.0.1:%s/cam\nOUTJPG=OFF\nOUTAVI=OFF\nOUTLOG=OFF\nPATHLOG=%s/\nWEBPORT=%s\nEVENTDB=%s/events.db\n' \
  "$review_cam" "$review_dir" "$review_web" "$review_dir" > "$review_dir/config.cfg"
sync
echo 3 2> /dev/null > /proc/sys/vm/drop_caches || true
sleep 1
(cd "$review_dir" && exec "$root/build/camwatch" --no-console > stdout 2> stderr) &
review_pid=$!
for _ in $(seq 50); do curl -s -m 1 -o /dev/null "http://127.0.0.1:$review_web/api/status" && break; sleep 0.1; done
review_out=$(python3 "$root/bench/review_load.py" "http://127.0.0.1:$review_web/#review" 5 || echo failed)
kill "$review_pid" "$review_server" 2> /dev/null || true
wait "$review_pid" "$review_server" 2> /dev/null || true
review_thumbs_ms=$(sed -n 's/.*thumbnails in view \([0-9]*\) ms.*/\1/p' <<< "$review_out")
echo "Review view in headless Chromium on that store, from navigation start: $review_out"
