#!/usr/bin/env bash
# The Debian package as a user gets it: cpack builds it from the build tree, lintian finds
# no error in it, and once unpacked it holds every installed file and its dcload-cli runs.
# usage: deb-test.sh BUILD_DIR VERSION; exit 77 (skipped) when a tool is missing.
set -euo pipefail
build=$1
version=$2
for tool in cpack lintian dpkg-deb dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing (scripts/deps installs it): skipped"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log"
  exit 1
}
deb=$(ls "$work"/out/dcload_"$version"_*.deb)

# Errors fail the package; warnings are shown. Root may run lintian here: it only reads.
lintian --fail-on error --allow-root --no-tag-display-limit "$deb"

dpkg-deb --field "$deb" Depends | grep -q 'libqt6core6' || {
  echo "Depends misses the Qt libraries: $(dpkg-deb --field "$deb" Depends)"
  exit 1
}
dpkg -x "$deb" "$work/root"
for file in bin/dcload bin/dcload-cli bin/dcload-sim share/applications/dcload.desktop \
  share/icons/hicolor/scalable/apps/dcload.svg share/bash-completion/completions/dcload-cli \
  share/man/man1/dcload.1.gz share/man/man1/dcload-cli.1.gz share/man/man1/dcload-sim.1.gz \
  share/doc/dcload/copyright share/doc/dcload/changelog.gz share/doc/dcload/list-program.json; do
  if [ ! -e "$work/root/usr/$file" ]; then
    echo "missing from the package: /usr/$file"
    exit 1
  fi
done
shown=$("$work/root/usr/bin/dcload-cli" --version)
case $shown in
  "dcload-cli $version "*) echo "$shown" ;;
  *)
    echo "the installed dcload-cli says: $shown"
    exit 1
    ;;
esac
