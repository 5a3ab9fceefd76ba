#!/usr/bin/env bash
# Builds the Debian package from debian/ (debhelper): a Release build of every
# program and plug-in, installed by the project's install rules, with the
# systemd unit; then checks it with lintian (errors fail the build).
#   scripts/package.sh [OUT_DIR]   products in OUT_DIR (default build-package):
#                                  logrum2_VERSION_ARCH.deb, .buildinfo, .changes
#   LOGRUM2_JOBS=N                 parallel compile jobs (default: all cores)
#   LOGRUM2_DBGSYM=1               also build the debug-symbol package
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-package}
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
jobs=${LOGRUM2_JOBS:-$(nproc)}

for tool in dpkg-buildpackage dh lintian; do
  if ! command -v "$tool" >/dev/null; then
    echo "package: $tool is missing; run scripts/install-deps.sh as root" >&2
    exit 1
  fi
done

# dpkg-buildpackage leaves its products beside the source folder, so the
# package is built from a copy inside OUT_DIR: nothing lands outside it.
# Only what this script makes is ever removed from OUT_DIR.
mkdir -p "$out"
rm -rf "$out/src"
rm -f "$out"/logrum2_* "$out"/logrum2-dbgsym_*
mkdir "$out/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$out/src"
else
  tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$out/src"
fi

# No debug-symbol package unless asked (LOGRUM2_DBGSYM=1): on two cores,
# compressing it takes minutes.
options="parallel=$jobs"
[[ ${LOGRUM2_DBGSYM:-0} != 0 ]] || options+=" noautodbgsym"
start=$SECONDS
(cd "$out/src" &&
  DEB_BUILD_OPTIONS="$options ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc)
echo "package: built in $((SECONDS - start)) s"
rm -rf "$out/src"

deb=$(ls "$out"/logrum2_*.deb)
lintian --fail-on error --display-level '>=warning' "$deb"
echo "package: $deb"
