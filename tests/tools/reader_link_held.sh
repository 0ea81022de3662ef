#!/bin/sh
# Two `lmscr reader --link P` on one link: the second, while the first runs, exits 1 with one line
# naming the link and the first's process id, and leaves the first's link as it was; the first then
# ends clean (exit 0) and removes its link and lock. A link and lock file left by a run that is gone
# are replaced. Every process started here is stopped by its process id.
set -u
lmscr=$1
dir=$(mktemp -d /tmp/lmscr-link-XXXXXX)
link=$dir/reader
first=
trap '[ -n "$first" ] && kill "$first" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A stale link and lock file, as a killed run leaves them: nobody holds the lock.
ln -s /dev/pts/999999 "$link" && echo 1 >"$link.lock"
"$lmscr" reader --link "$link" </dev/null >"$dir/first.out" 2>"$dir/first.err" &
first=$!
i=0
until [ "$(readlink "$link")" != /dev/pts/999999 ] && [ -L "$link" ]; do
  i=$((i + 1)); [ $i -le 200 ] || fail "the first reader made no link in 10 s: $(cat "$dir/first.err")"
  sleep 0.05
done
target=$(readlink "$link")

# A second reader that took the link over would run on: 10 s bound it (status 124).
timeout 10 "$lmscr" reader --link "$link" </dev/null >"$dir/second.out" 2>"$dir/second.err"
rc=$?
[ $rc -eq 1 ] || fail "second reader: exit status $rc, expected 1"
expected="lmscr reader: '$link' is the link of a running lmscr reader (pid $first): not taken over"
[ "$(cat "$dir/second.err")" = "$expected" ] || fail "second reader said: $(cat "$dir/second.err")"
[ ! -s "$dir/second.out" ] || fail "second reader printed: $(cat "$dir/second.out")"
[ "$(readlink "$link")" = "$target" ] || fail "the first reader's link $target became '$(readlink "$link")'"
echo "ok    second reader refused: $expected"

kill -TERM "$first"
wait "$first"
rc=$?
first=
[ $rc -eq 0 ] || fail "first reader: exit status $rc after SIGTERM, expected 0"
[ ! -e "$link" ] && [ ! -L "$link" ] && [ ! -e "$link.lock" ] || fail "the first reader left $(ls "$dir")"
echo "ok    first reader ended 0, link and lock removed"
