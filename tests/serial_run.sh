#!/usr/bin/env bash
# run.sh --serial against a pseudo-terminal with an interface of our own on the far side
# (serial_interface.py, firmware 456): the driver's probe is answered and the interface activated,
# the panel asks for the identity and, once it has shown it, for the state; closing the panel
# sets the interface back to patch mode.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
python3 "$root/tests/serial_interface.py" "$work/tty" "$work/line.log" 456 &
far=$!
trap 'kill $far 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/tty" ] && break; sleep 0.05; done
"$root/scripts/run.sh" --serial "$(cat "$work/tty")" --private --seconds 8 \
    --screenshot "$work/panel.png" >"$work/run.log" 2>&1 || { cat "$work/run.log"; exit 1; }
count() { grep -cx "$1" "$work/line.log" || true; }
# The last bytes may still be on their way through the terminal.
for _ in $(seq 40); do [ "$(count "F0 63 60 10 7F F7")" -ge 1 ] && break; sleep 0.05; done
identity=$(count "F0 63 60 0B 00 F7") computer=$(count "F0 63 60 0F 7F F7")
state=$(count "F0 63 60 0C 01 F7") patch=$(count "F0 63 60 10 7F F7")
echo "on the line: $identity identity requests, $computer computer mode, $state state requests," \
     "$patch patch mode"
[ "$identity" -ge 2 ] && [ "$computer" -ge 1 ] && [ "$state" -ge 1 ] && [ "$patch" -ge 1 ] &&
    [ -s "$work/panel.png" ] || { cat "$work/run.log" "$work/line.log"; exit 1; }
