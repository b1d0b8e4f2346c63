#!/usr/bin/env bash
# Starts or stops a private Xvfb server for the Wine test run.
# Usage: xvfb.sh start DIR   start Xvfb on a free display; writes DIR/xvfb.pid, DIR/display
#        xvfb.sh stop DIR    stop the server recorded in DIR/xvfb.pid
# Callers read the display with: export DISPLAY=$(cat DIR/display)
set -euo pipefail

usage() { echo "usage: xvfb.sh start|stop DIR" >&2; exit 2; }
[[ $# -eq 2 ]] || usage
cmd=$1
dir=$2

display_taken() {
    [[ -e /tmp/.X$1-lock || -e /tmp/.X11-unix/X$1 ]]
}

start() {
    mkdir -p "$dir"
    if [[ -f $dir/xvfb.pid ]] && [[ $(cat "/proc/$(cat "$dir/xvfb.pid")/comm" 2>/dev/null) == Xvfb ]]; then
        echo "xvfb: already running on $(cat "$dir/display")"
        return 0
    fi
    local n pid
    for n in $(seq 99 160); do
        display_taken "$n" && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset </dev/null >"$dir/xvfb.log" 2>&1 &
        pid=$!
        # Ready once the socket exists; a lost race for the number ends the process.
        for _ in $(seq 1 100); do
            [[ -S /tmp/.X11-unix/X$n ]] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null && [[ -S /tmp/.X11-unix/X$n ]]; then
            echo "$pid" >"$dir/xvfb.pid"
            echo ":$n" >"$dir/display"
            echo "xvfb: started on :$n (pid $pid)"
            return 0
        fi
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "xvfb: could not start a server; last log:" >&2
    cat "$dir/xvfb.log" >&2 || true
    return 1
}

stop() {
    local pid
    [[ -f $dir/xvfb.pid ]] || return 0
    pid=$(cat "$dir/xvfb.pid")
    # Only signal the recorded pid if it still is an Xvfb (pids get reused).
    if kill -0 "$pid" 2>/dev/null && [[ $(cat "/proc/$pid/comm" 2>/dev/null) == Xvfb ]]; then
        kill "$pid"
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
        echo "xvfb: stopped $(cat "$dir/display" 2>/dev/null) (pid $pid)"
    fi
    rm -f "$dir/xvfb.pid" "$dir/display"
}

case $cmd in
    start) start ;;
    stop) stop ;;
    *) usage ;;
esac
