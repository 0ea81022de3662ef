#!/bin/sh
# Ctrl-C in the middle of a script on a reader behind a tty (`lmscr reader --link`): the script
# stops at the next safe point (here, the wait for a card to be taken out), powers the card down,
# prints its summary (text) or its whole JSON document, and exits 130. Every process started here is
# stopped by its process id.
set -u
lmscr=$1
dir=$(mktemp -d /tmp/lmscr-int-XXXXXX)
link=$dir/reader
reader= run=
trap '[ -n "$run" ] && kill "$run" 2>/dev/null; [ -n "$reader" ] && kill "$reader" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Waits (at most 20 s) for a line in a file.
await() {
  i=0
  until grep -q "$2" "$1" 2>/dev/null; do
    i=$((i + 1)); [ $i -le 400 ] || fail "no '$2' in $1 after 20 s: $(cat "$1")"
    sleep 0.05
  done
}
mkfifo "$dir/in"
"$lmscr" reader --link "$link" --card t0 <"$dir/in" >"$dir/reader.out" 2>&1 &
reader=$!
exec 3>"$dir/in"
await "$dir/reader.out" "linked at"
printf '00 A4 00 00 02 3F 00\n!remove\n00 B0 00 00 01\n' >"$dir/script"

for form in text json; do
  opt=; [ $form = json ] && opt=--json
  : >"$dir/reader.out"
  "$lmscr" script --port "$link" $opt "$dir/script" >"$dir/$form.out" 2>"$dir/$form.err" &
  run=$!
  if [ $form = text ]; then await "$dir/$form.out" "waiting for the card to be taken out"; else await "$dir/reader.out" "card powered by the host"; sleep 0.5; fi
  kill -INT "$run"
  wait "$run"
  rc=$?
  run=
  [ $rc -eq 130 ] || fail "$form: exit status $rc after SIGINT, expected 130: $(cat "$dir/$form.out" "$dir/$form.err")"
  await "$dir/reader.out" "card powered down"
  if [ $form = text ]; then
    grep -q "^summary: 1 command, 1 answered, 0 failed; 1 step, 1 failed$" "$dir/text.out" || fail "text: no summary: $(cat "$dir/text.out")"
    grep -q "^  stopped by a signal after 2 of the run's lines, before line 3; the card was powered down$" "$dir/text.out" ||
      fail "text: no word of the stop: $(cat "$dir/text.out")"
  else
    python3 - "$dir/json.out" "$link" <<'PY' || fail "json: $(cat "$dir/json.out")"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["card"] is None and d["port"] == sys.argv[2], d
assert d["stopped"].startswith("stopped by a signal after ") and d["stopped"].endswith("; the card was powered down"), d
assert d["summary"]["ok"] is False, d
PY
  fi
  echo "ok    $form: SIGINT: exit 130, card powered down, summary printed"
done
echo quit >&3
wait "$reader"
rc=$?
reader=
[ $rc -eq 0 ] || fail "reader: exit status $rc"
