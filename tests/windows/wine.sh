#!/usr/bin/env bash
# Runs the cross-built Windows programs under Wine, in a prefix of our own (WINEPREFIX).
#
#   wine.sh start                 creates the prefix when missing, starts a persistent
#                                 wineserver and warms it up: later runs then cost a tenth of a
#                                 second instead of seconds
#   wine.sh stop                  stops that wineserver and every Wine process of the prefix
#   wine.sh run PROGRAM [ARG...]  runs a Windows program and passes on its exit code
#
# Debian's Wine has only a stub winscard.dll, so the programs get our scripted WinSCard.dll
# (from the program's folder) in its place.
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"
export WINEPREFIX
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64

# Wine's background processes (wineserver, services.exe, explorer.exe...) outlive the command
# that starts them: none may hold on to our standard streams, or CTest waits for them.
quiet() {
    "$@" </dev/null >/dev/null 2>&1
}

start() {
    if [ ! -e "$WINEPREFIX/.tessarin-ready" ]; then
        rm -rf "$WINEPREFIX"
        mkdir -p "$(dirname "$WINEPREFIX")"
        # No Mono or Gecko: their installers would ask, and nothing here needs them.
        WINEDLLOVERRIDES="mscoree,mshtml=" quiet "$wine" wineboot --init
        quiet "$server" -w
        touch "$WINEPREFIX/.tessarin-ready"
    fi
    # A server left behind by an interrupted run would refuse the new one.
    quiet "$server" -k || true
    quiet "$server" -w
    quiet "$server" -p
    quiet "$wine" cmd /c exit 0
    echo "Wine ready in $WINEPREFIX"
}

stop() {
    quiet "$server" -k || true
    echo "Wine stopped in $WINEPREFIX"
}

run() {
    WINEDLLOVERRIDES="winscard=n" exec "$wine" "$@"
}

command=${1:?usage: wine.sh start|stop|run PROGRAM [ARG...]}
shift
case "$command" in
start | stop | run) "$command" "$@" ;;
*)
    echo "wine.sh: unknown command $command" >&2
    exit 2
    ;;
esac
