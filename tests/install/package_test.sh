#!/usr/bin/env bash
# The Debian package as built by scripts/package.sh: its contents, its
# dependencies and maintainer scripts (dpkg-deb), then the programs unpacked
# from it run as installed (installed_server_test.py), with its unit verified.
# Then, as root with debootstrap, the package installed with apt into a fresh
# Debian 12 chroot: the system user, the enabled unit, a configuration imported
# with logrum-reg as that user, recording, and a purge that keeps the state.
#   tests/install/package_test.sh PACKAGE.deb
#   LOGRUM2_PACKAGE_CHROOT=0         skips the chroot
#   LOGRUM2_DEBIAN_MIRROR=URL        the chroot's mirror (default deb.debian.org)
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
work=$(mktemp -d "${TMPDIR:-/tmp}/logrum2-package-XXXXXX")
mounts=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do umount -l "$m" || true; done
  # --one-file-system: never follows into anything still mounted.
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
failed=0
problem() { echo "package_test: $*" >&2; failed=1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for path in /usr/bin/recserver /usr/bin/logrum-reg /usr/bin/logrum-client \
    /usr/lib/$arch/logrum2/archsvc.so /usr/lib/$arch/logrum2/audiosrc.so \
    /usr/lib/$arch/logrum2/audenc.so /usr/lib/$arch/logrum2/gpiolink.so \
    /usr/lib/$arch/logrum2/ftpxfer.so /usr/lib/$arch/logrum2/diaglog.so \
    /usr/lib/$arch/logrum2/traceprov.so \
    /usr/share/logrum2/web/index.html /lib/systemd/system/logrum2.service \
    /usr/share/doc/logrum2/examples/archive-folders.conf; do
  grep -qx "$path" <<<"$contents" || problem "missing $path"
done
# Nothing of the state folder or the build ships in the package.
grep -q '^/var/lib/logrum2' <<<"$contents" && problem "ships files in /var/lib/logrum2"

depends=$(dpkg-deb -f "$deb" Depends)
for library in adduser libc6 libsqlite3-0 libmp3lame0 libasound2 libsndfile1 libcurl4; do
  grep -q "\b$library\b" <<<"$depends" || problem "Depends lacks $library: $depends"
done

dpkg-deb -e "$deb" "$work/control"
grep -q 'adduser --system' "$work/control/postinst" || problem "postinst creates no system user"
grep -q "deb-systemd-helper enable 'logrum2.service'" "$work/control/postinst" ||
  problem "postinst does not enable logrum2.service"
grep -q 'LOGRUM2_PURGE_STATE' "$work/control/postrm" || problem "postrm removes state unasked"

((failed == 0)) || exit 1
dpkg-deb -x "$deb" "$work/root"
/usr/bin/python3 "$here/installed_server_test.py" --prefix "$work/root/usr" \
  --unit "$work/root/lib/systemd/system/logrum2.service"

chroot_test() {
  local root=$work/chroot
  local mirror=${LOGRUM2_DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local start=$SECONDS
  if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 20 "$work/debootstrap.log" >&2
    problem "debootstrap of bookworm from $mirror failed"
    return
  fi
  mount -t proc proc "$root/proc" && mounts+=("$root/proc")
  mount -t tmpfs shm "$root/dev/shm" && mounts+=("$root/dev/shm")
  in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
      DEBIAN_FRONTEND=noninteractive "$@"
  }
  cp "$deb" "$root/tmp/logrum2.deb"
  in_root apt-get update -q >/dev/null
  if ! in_root apt-get install -y -q --no-install-recommends /tmp/logrum2.deb >"$work/apt.log" 2>&1; then
    cat "$work/apt.log" >&2
    problem "apt could not install the package on a fresh Debian 12"
    return
  fi
  in_root getent passwd logrum2 >/dev/null || problem "no system user logrum2"
  in_root id -nG logrum2 | grep -qw audio || problem "logrum2 is not in the audio group"
  [[ -L $root/etc/systemd/system/multi-user.target.wants/logrum2.service ]] ||
    problem "logrum2.service is not enabled"

  # The station's engineer: archive folder, configuration imported as the
  # service's user, then the server as the service runs it.
  local port console_port
  read -r port console_port < <(/usr/bin/python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
  cat >"$root/tmp/station.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2\Server]
"ServerPort"=dword:$(printf '%08x' "$port")
"ConsoleAddress"="127.0.0.1:$console_port"

[HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2\AudioDevices2]
"Studio"="3Tone"

[HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2\Archives\News]
"ArchivePath"="/srv/logrum2/News"
"LogPath"="/srv/logrum2/News"
"SourceName"="Studio"
"SegmentSizeMinutes"=dword:00000001
"AutoStart"=dword:00000001
REG
  in_root install -d -o logrum2 -g logrum2 /srv/logrum2/News
  as_service() {
    chroot --userspec=logrum2:logrum2 --groups=audio "$root" /usr/bin/env -i \
      PATH=/usr/bin:/bin TZ=UTC0 LOGRUM2_HOME=/var/lib/logrum2 "$@"
  }
  as_service logrum-reg import /tmp/station.reg || problem "logrum-reg import failed"
  # chroot and env exec in turn, so $! is the server's own process.
  chroot --userspec=logrum2:logrum2 --groups=audio "$root" /usr/bin/env -i PATH=/usr/bin:/bin \
    TZ=UTC0 LOGRUM2_HOME=/var/lib/logrum2 LOGRUM2_VIRTUAL_DEVICES=Tone=tone:440 \
    LOGRUM2_CLOCK=speed=30 /usr/bin/recserver >"$work/recserver.log" 2>&1 &
  local pid=$!
  # Two segment files: the first one finished. The deadline only ends a broken run.
  local deadline=$((SECONDS + 60))
  while (($(find "$root/srv/logrum2/News" -name '*.mp3' | wc -l) < 2)); do
    if ! kill -0 "$pid" 2>/dev/null || ((SECONDS > deadline)); then break; fi
    sleep 0.2
  done
  kill -TERM "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?
  if (($(find "$root/srv/logrum2/News" -name '*.mp3' | wc -l) < 2)) || ((status != 0)); then
    cat "$work/recserver.log" >&2
    problem "the installed server did not record (exit status $status)"
  fi

  # Purge keeps the configuration unless asked.
  in_root apt-get purge -y -q logrum2 >/dev/null 2>&1 || problem "purge failed"
  [[ -f $root/var/lib/logrum2/registry.db3 ]] || problem "purge removed the configuration unasked"
  in_root apt-get install -y -q --no-install-recommends /tmp/logrum2.deb >/dev/null 2>&1
  in_root LOGRUM2_PURGE_STATE=yes apt-get purge -y -q logrum2 >/dev/null 2>&1
  [[ ! -e $root/var/lib/logrum2 ]] || problem "LOGRUM2_PURGE_STATE=yes kept /var/lib/logrum2"
  echo "package_test: installed, recorded and purged in a Debian 12 chroot ($((SECONDS - start)) s)"
}

if [[ ${LOGRUM2_PACKAGE_CHROOT:-1} != 0 && $(id -u) == 0 ]] && command -v debootstrap >/dev/null; then
  chroot_test
else
  echo "package_test: no chroot (needs root and debootstrap); contents checked with dpkg-deb only"
fi
((failed == 0)) || exit 1
echo "package_test: $(basename "$deb") passed"
