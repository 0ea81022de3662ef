#!/bin/sh
# `make install` to a scratch prefix: the handler and both reader.conf.d entries, each entry's
# LIBPATH naming the installed handler under that prefix.
set -eu
build=$1
prefix=$(mktemp -d /tmp/lmscr-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for entry in "$prefix/etc/reader.conf.d/lmscr" "$prefix/share/lmscr/simulated/lmscr"; do
  libpath=$(awk '$1 == "LIBPATH" { print $2 }' "$entry")
  case "$libpath" in
    "$prefix"/*) ;;
    *) echo "FAIL: $entry: LIBPATH '$libpath' is not under $prefix"; exit 1 ;;
  esac
  [ -f "$libpath" ] || { echo "FAIL: $entry: LIBPATH '$libpath' is no file"; exit 1; }
  grep -q '^DEVICENAME' "$entry" || { echo "FAIL: $entry: no DEVICENAME"; exit 1; }
  echo "ok    $entry: LIBPATH $libpath"
done
grep -q '^DEVICENAME *\/tmp\/lmscr-reader$' "$prefix/share/lmscr/simulated/lmscr"
grep -q '^DEVICENAME *\/dev\/ttyS0$' "$prefix/etc/reader.conf.d/lmscr"
# The program beside the handler, runnable from the prefix without the build tree.
"$prefix/bin/lmscr" version >/dev/null || { echo "FAIL: $prefix/bin/lmscr version: exit status $?"; exit 1; }
echo "ok    $prefix/bin/lmscr version: exit status 0"
