#!/bin/sh
# package.sh BUILD_DIR VERSION: makes the .deb from BUILD_DIR with CPack in a temporary folder
# and checks it: the files sit where the unit expects them, Depends names the OpenCV runtime
# packages and adduser, the example configuration is a conffile that the program's reader
# takes line by line, every key in it is in the man page, and systemd accepts the unit.
set -eu
build=$1
version=$2
for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || { echo "no $tool here"; exit 77; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
deb=$work/out/camwatch_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"

dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/files"
for f in ./usr/bin/camwatch ./usr/lib/camwatch/camwatch-main ./usr/lib/camwatch/camwatch-cvio.so ./usr/lib/camwatch/camwatch-labels.so \
    ./usr/lib/systemd/system/camwatch.service \
    ./etc/camwatch/config.cfg ./usr/share/man/man1/camwatch.1.gz; do
    grep -qx "$f" "$work/files" || fail "$f missing from the package"
done
depends=$(dpkg-deb -f "$deb" Depends)
for p in adduser libopencv-core libopencv-videoio libsystemd0; do
    echo "$depends" | grep -q "$p" || fail "Depends lacks $p: $depends"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/camwatch/config.cfg ||
    fail "config.cfg is not a conffile"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "$script"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no user"

root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/usr/lib/systemd/system/camwatch.service
cfg=$root/etc/camwatch/config.cfg
# The unit starts the packaged program on the packaged configuration.
grep -qx 'ExecStart=/usr/bin/camwatch --no-console --config /etc/camwatch/config.cfg' "$unit" ||
    fail "ExecStart"
grep -qx 'Type=notify' "$unit" && grep -qx 'WatchdogSec=30' "$unit" || fail "notify/watchdog"
[ "$("$root/usr/bin/camwatch" --version)" = "camwatch $version" ] || fail "packaged --version"
# A source that is no file goes to OpenCV's capture, in the module beside the program.
printf 'ALLCAM=1\nSOURCE0=missing.avi\n' >"$work/probe.cfg"
err=$(cd "$work" && echo exit | "$root/usr/bin/camwatch" -c "$work/probe.cfg" 2>&1 >/dev/null)
[ -z "$err" ] || fail "packaged program: $err"

# The reader takes the first 100 lines, in pieces of 255 bytes; a comment holds no "=".
[ "$(wc -l <"$cfg")" -le 100 ] || fail "config.cfg longer than 100 lines"
awk 'length > 254' "$cfg" | grep -q . && fail "config.cfg line over 254 bytes"
grep -v '^[A-Z0-9]*=' "$cfg" | grep '=' && fail "a comment holds '='"
grep -qx 'WARMUP=3' "$cfg" || fail "WARMUP=3"
zcat "$root/usr/share/man/man1/camwatch.1.gz" >"$work/camwatch.1"
for key in $(sed -n 's/^\([A-Z]*\)[0-9]*=.*/\1/p' "$cfg" | sort -u); do
    grep -q "$key" "$work/camwatch.1" || fail "man page lacks $key"
done
if command -v man >/dev/null; then
    LC_ALL=C.UTF-8 man --warnings -l "$work/camwatch.1" >/dev/null 2>"$work/man.err"
    [ -s "$work/man.err" ] && { cat "$work/man.err"; fail "man page warnings"; }
fi

if command -v systemd-analyze >/dev/null; then
    # Checked as a copy whose ExecStart points at the extracted program, which verify wants
    # to exist; MANPATH lets it find the Documentation= page in the package.
    mkdir "$work/unit"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/unit/camwatch.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$work/unit/camwatch.service" \
        >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify"; }
    [ -s "$work/verify.log" ] && { cat "$work/verify.log"; fail "systemd-analyze warnings"; }
fi
echo "package ok: $(dpkg-deb -f "$deb" Package) $version, $(wc -l <"$work/files") entries"
