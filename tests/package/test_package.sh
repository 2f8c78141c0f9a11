#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks it with lintian, installs
# it on this machine, tries what it installed, then purges it and checks that
# nothing of it is left. The machine is left as it was found: the test skips
# rather than touch an ondrel that is already there.
# Usage: test_package.sh BUILD_DIR VERSION SANITIZED(0|1)
set -uo pipefail
build=$1
version=$2
sanitized=$3
skip=77

skip() {
    echo "SKIPPED: $*"
    exit $skip
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

((sanitized)) && skip "the sanitizer build makes no package (the plain build's run of this test covers it)"
(($(id -u) == 0)) || skip "installing a package needs root; run the suite as root to include this test"
for tool in cpack dpkg-deb dpkg-shlibdeps lintian apt-get man appstreamcli desktop-file-validate file; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
[[ -f $build/CPackConfig.cmake ]] || fail "$build/CPackConfig.cmake is missing: the build was configured without packaging (help2man missing?)"

# One run at a time on this machine, whichever build tree it comes from.
exec 9>/run/lock/ondrel-package-test.lock
flock -w 300 9 || fail "another run of this test holds /run/lock/ondrel-package-test.lock"

state=$(dpkg-query -W -f='${db:Status-Status}' ondrel 2>/dev/null)
if [[ -n $state && $state != not-installed ]]; then
    skip "a package named ondrel is already on this machine ($state); it is left alone"
fi

work=$(mktemp -d /tmp/ondrel-package-test.XXXXXX)
installed=0
sim_pid=
extras=
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.log" 2>&1 ||
        { cat "$work/apt.log"; return 1; }
}
# Purges ondrel and whatever apt-get brought along with it.
restore() {
    ((installed)) || return 0
    installed=0
    apt_get remove --purge ondrel || return 1
    if [[ -n $extras ]]; then
        echo "note: removing again what apt-get pulled in: $extras"
        # shellcheck disable=SC2086
        apt_get remove --purge $extras || return 1
    fi
}
cleanup() {
    [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null
    restore
    rm -rf "$work"
}
trap cleanup EXIT

# --- build -----------------------------------------------------------------
took=()
lap_start=$SECONDS
lap() { # name
    took+=("$1 $((SECONDS - lap_start)) s")
    lap_start=$SECONDS
}
arch=$(dpkg --print-architecture)
deb=$work/ondrel_${version}_${arch}.deb
(cd "$build" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
[[ -f $deb ]] || { ls "$work"; fail "cpack made no $(basename "$deb")"; }
lap cpack

mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x"
for f in usr/bin/ondrel usr/bin/ondrel-sim usr/bin/ondrel-fleet usr/bin/ondrel-lab \
    usr/share/man/man1/ondrel.1.gz usr/share/man/man1/ondrel-sim.1.gz \
    usr/share/man/man1/ondrel-fleet.1.gz usr/share/man/man1/ondrel-lab.1.gz \
    usr/share/applications/ondrel.desktop usr/share/applications/ondrel-fleet.desktop \
    usr/share/metainfo/org.example.ondrel.metainfo.xml \
    usr/share/doc/ondrel/copyright lib/systemd/system/ondrel-lab.service etc/default/ondrel-lab \
    usr/share/ondrel-lab/web/index.html usr/share/ondrel-lab/web/live.css \
    usr/share/ondrel-lab/web/live.js usr/share/ondrel-lab/web/history.html \
    usr/share/ondrel-lab/web/trend.html usr/share/ondrel-lab/web/history.css \
    usr/share/ondrel-lab/web/history.js usr/share/ondrel-lab/web/trend.js \
    usr/lib/ondrel/libssl.so usr/lib/ondrel/libcrypto.so; do
    [[ -f $work/root/$f ]] || fail "the package lacks /$f"
done
for size in 16 32 48; do
    png=usr/share/icons/hicolor/${size}x${size}/apps/ondrel.png
    file -b "$work/root/$png" | grep -q "^PNG image data, $size x $size," ||
        fail "/$png is not a $size-pixel PNG: $(file -b "$work/root/$png")"
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libqt6widgets6* && $depends == *libc6* ]] ||
    fail "Depends does not come from dpkg-shlibdeps: '$depends'"
[[ $depends == *libjs-chart.js* ]] || fail "Depends lacks libjs-chart.js: '$depends'"
[[ $depends == *libssl3* ]] || fail "Depends lacks libssl3: '$depends'"
for field in Section Maintainer Description; do
    [[ -n $(dpkg-deb -f "$deb" "$field") ]] || fail "the $field field is empty"
done
grep -q "<release version=\"$version\"" "$work/root/usr/share/metainfo/org.example.ondrel.metainfo.xml" ||
    fail "the AppStream metadata has no release $version"

lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
grep -v 'running with root privileges' "$work/lintian.log"
grep -q '^E:' "$work/lintian.log" && fail "lintian reports errors"
lap lintian

# --- install ---------------------------------------------------------------
# Whatever the package brings along is taken away again at the end (the
# packages the simulated install names, not whatever else appears meanwhile).
extras=$(apt-get install -s --no-install-recommends "$deb" 2>/dev/null |
    awk '$1 == "Inst" && $2 != "ondrel" { print $2 }' | tr '\n' ' ')
# Every path of the package that already exists (directories shared with other
# packages) may stay after the purge; no file of it may exist beforehand.
preexisting=()
while IFS= read -r -d '' path; do
    p=${path#"$work/root"}
    [[ -z $p ]] && continue
    if [[ -e $p || -L $p ]]; then
        # A directory, or a link to one (/lib on a merged /usr), is shared, not overwritten.
        [[ -d $p ]] || skip "$p already exists on this machine and would be overwritten"
        preexisting+=("$p")
    fi
done < <(find "$work/root" -print0)

installed=1
apt_get install --no-install-recommends "$deb" || fail "apt-get install $deb"
dpkg-query -W -f='${Status}' ondrel | grep -q 'install ok installed' || fail "ondrel is not installed after apt-get"
lap install

[[ $(/usr/bin/ondrel --version | head -n1) == "Ondrel $version" ]] ||
    fail "ondrel --version: $(/usr/bin/ondrel --version 2>&1)"
[[ $(/usr/bin/ondrel-sim --version) == "ondrel-sim $version" ]] ||
    fail "ondrel-sim --version: $(/usr/bin/ondrel-sim --version 2>&1)"
[[ $(/usr/bin/ondrel-fleet --version) == "ondrel-fleet $version" ]] ||
    fail "ondrel-fleet --version: $(/usr/bin/ondrel-fleet --version 2>&1)"
/usr/bin/ondrel-fleet http://broker/lab >/dev/null 2>&1
(($? == 2)) || fail "ondrel-fleet with a URL of another scheme did not end with status 2"
[[ $(/usr/bin/ondrel-lab --version) == "ondrel-lab $version" ]] ||
    fail "ondrel-lab --version: $(/usr/bin/ondrel-lab --version 2>&1)"
for page in ondrel ondrel-sim ondrel-fleet ondrel-lab; do
    [[ $(man -w "$page") == /usr/share/man/man1/$page.1.gz ]] || fail "man -w $page: $(man -w "$page" 2>&1)"
done
sim_page=$(MANWIDTH=100 man -P cat ondrel-sim 2>/dev/null)
for command in "fault N" "silent on|off" "garble K" "reopen [MS]"; do
    grep -qF -- "$command" <<<"$sim_page" || fail "ondrel-sim(1) does not list the command '$command'"
done
fleet_page=$(MANWIDTH=100 man -P cat ondrel-fleet 2>/dev/null)
for option in "--mqtt-password-file" "--mqtt-ca" "ONDREL_MQTT_PASSWORD"; do
    grep -qF -- "$option" <<<"$fleet_page" || fail "ondrel-fleet(1) does not mention $option"
done
for entry in ondrel ondrel-fleet; do
    desktop-file-validate "/usr/share/applications/$entry.desktop" || fail "desktop-file-validate $entry"
done
grep -qx 'Name=Ondrel Fleet' /usr/share/applications/ondrel-fleet.desktop ||
    fail "the fleet's desktop entry is not named Ondrel Fleet"
# --no-net: the URLs are not fetched (this machine may be offline).
appstreamcli validate --no-net /usr/share/metainfo/org.example.ondrel.metainfo.xml ||
    fail "appstreamcli validate"

# A short run of the installed simulator: one frame on its pty.
coproc SIM { exec /usr/bin/ondrel-sim --quiet --do "firmware 7A21" 2>&1; }
sim_pid=$SIM_PID
IFS= read -t 10 -r device <&"${SIM[0]}" || fail "ondrel-sim printed no device path"
[[ -c $device ]] || fail "ondrel-sim's device '$device' is not a terminal"
stty -F "$device" raw -echo || fail "stty on $device"
exec 3<>"$device"
printf '\002FREV\r' >&3
IFS= read -t 10 -r -d $'\r' reply <&3
exec 3>&-
[[ $reply == *7A21* ]] || fail "ondrel-sim answered FREV with '$(printf '%q' "$reply")'"
kill -TERM "$sim_pid"
wait "$sim_pid" || fail "ondrel-sim did not stop cleanly on SIGTERM"
sim_pid=

# The archive's service: a unit systemd accepts, enabled, and idle until the
# defaults name a broker.
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/ondrel-lab.service ||
        fail "systemd-analyze verify ondrel-lab.service"
fi
[[ -L /etc/systemd/system/multi-user.target.wants/ondrel-lab.service ]] ||
    fail "ondrel-lab.service is not enabled after the install"
(
    set -a
    . /etc/default/ondrel-lab
    [[ -z $ONDREL_LAB_URL ]]
) || fail "/etc/default/ondrel-lab names a broker out of the box"

files=$(dpkg-query -L ondrel)
lap checks

# --- remove ----------------------------------------------------------------
restore || fail "apt-get remove --purge"
lap purge
status=$(dpkg-query -W -f='${db:Status-Status}' ondrel 2>/dev/null)
[[ -z $status || $status == not-installed ]] || fail "dpkg still knows ondrel as '$status'"

left=()
while IFS= read -r p; do
    [[ -z $p || $p == /. ]] && continue
    [[ -e $p || -L $p ]] || continue
    keep=0
    for q in "${preexisting[@]}"; do [[ $p == "$q" ]] && keep=1 && break; done
    ((keep)) || left+=("$p")
done <<<"$files"
[[ -e /etc/systemd/system/multi-user.target.wants/ondrel-lab.service ]] && left+=("the service's enabling link")
((${#left[@]} == 0)) || fail "left behind after the purge: ${left[*]}"
echo "package $(basename "$deb"): built, lintian without errors, installed, tried, purged"
echo "times: $(printf '%s; ' "${took[@]}")"
