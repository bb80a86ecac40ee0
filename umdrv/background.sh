#!/usr/bin/env bash
# Starts a native helper process for Wine tests and stops it again (ctest fixtures).
#   background.sh start READY_FILE COMMAND [ARGS...]   runs COMMAND detached; waits until it has
#                                                       written READY_FILE (at most 10 s)
#   background.sh stop READY_FILE                      stops the process started for READY_FILE
# The process is also stopped when the caller (ctest) ends without stopping it.
set -euo pipefail
action=$1 ready=$2
shift 2
pidfile="$ready.pid"
case "$action" in
    start)
        rm -f "$ready"
        owner=$PPID
        setsid "$@" >"$ready.log" 2>&1 </dev/null &
        pid=$!
        echo $pid >"$pidfile"
        setsid bash -c "while kill -0 $owner && kill -0 $pid; do sleep 1; done 2>/dev/null
                        kill $pid 2>/dev/null" >/dev/null 2>&1 </dev/null &
        for _ in $(seq 100); do
            [ -s "$ready" ] && exit 0
            kill -0 "$(cat "$pidfile")" 2>/dev/null || break
            sleep 0.1
        done
        echo "background.sh: $1 did not get ready" >&2
        cat "$ready.log" >&2 || true
        exit 1
        ;;
    stop)
        [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile" "$ready"
        ;;
esac
