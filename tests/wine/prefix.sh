#!/usr/bin/env bash
# Headless Wine prefixes for the Windows tests.
#   prefix.sh create DIR [--cabinet DLL] [--x11 [--desktop WxH]]
#                                  make DIR once (stamped, locked)
#   prefix.sh start DIR | stop DIR persistent wineserver on/off
# Every Wine call has a time bound and names itself when it runs out.
set -euo pipefail

wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export LC_ALL=C.UTF-8 WINEDEBUG=-all

usage() { echo "usage: $0 create DIR [--cabinet DLL] [--x11 [--desktop WxH]] | start DIR | stop DIR" >&2; exit 2; }

# Our own error output, kept apart from the stdio the callers below send to
# /dev/null. Wine never gets it: a service holding a copy of a caller's pipe
# is the very hang this script exists to avoid.
exec 7>&2

# bounded SECONDS WHAT COMMAND...: the command's status; ends the script when
# the command ran out of time.
bounded() {
  local seconds=$1 what=$2 status=0 started=$SECONDS
  shift 2
  timeout -k 10 "$seconds" "$@" 7>&- || status=$?
  if [[ $status == 124 || $status == 137 ]] && ((SECONDS - started >= seconds)); then
    echo "prefix.sh: $what timed out after $seconds s (WINEPREFIX=$WINEPREFIX)" >&7
    exit 1
  fi
  return "$status"
}

[[ $# -ge 2 ]] || usage
cmd=$1 dir=$2; shift 2
mkdir -p "$(dirname "$dir")"
dir=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")
export WINEPREFIX=$dir

create() {
  local cabinet="" x11=0 desktop=""
  while [[ $# -gt 0 ]]; do
    case $1 in
      --cabinet) [[ $# -ge 2 ]] || usage; cabinet=$(realpath "$2"); shift 2 ;;
      --x11) x11=1; shift ;;
      --desktop) [[ $# -ge 2 && $2 =~ ^[0-9]+x[0-9]+$ ]] || usage; desktop=$2; shift 2 ;;
      *) usage ;;
    esac
  done
  [[ -z $cabinet || -f $cabinet ]] || { echo "prefix.sh: no such file: $cabinet" >&2; exit 2; }
  [[ -z $desktop || $x11 == 1 ]] || usage

  local stamp=$dir/.lumaro-prefix
  local want="x11=$x11 cabinet=${cabinet:+yes}${desktop:+ desktop=$desktop}"
  exec 9>"$dir.lock"
  flock 9
  if [[ ! -f $stamp || $(cat "$stamp") != "$want" ]]; then
    echo "prefix.sh: creating $dir ($want)" >&2
    # The Mono/Gecko installers would prompt; nothing here needs them.
    WINEDLLOVERRIDES="mscoree,mshtml=" bounded 300 "wineboot -i" "$wine" wineboot -i \
      </dev/null >/dev/null 2>&1 9>&- || true
    bounded 120 "wineserver -w after wineboot" "$server" -w 9>&-
    [[ -f $dir/system.reg ]] || { echo "prefix.sh: wineboot failed in $dir" >&2; exit 1; }
    if [[ $x11 == 0 ]]; then
      reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    fi
    if [[ -n $desktop ]]; then
      # Wine's own virtual desktop: windows get a title bar without a window manager.
      reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
      reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$desktop" /f
    else
      reg delete 'HKCU\Software\Wine\Explorer' /v Desktop /f || true
    fi
    # A crash would otherwise start winedbg, whose dialog never closes headless.
    reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    bounded 120 "winecfg /v win10" "$wine" winecfg /v win10 </dev/null >/dev/null 2>&1 9>&-
    if [[ -n $cabinet ]]; then
      reg add 'HKCU\Software\Wine\DllOverrides' /v cabinet /d native,builtin /f
    else
      reg delete 'HKCU\Software\Wine\DllOverrides' /v cabinet /f || true
    fi
    bounded 120 "wineserver -w after the settings" "$server" -w 9>&-
    echo "$want" > "$stamp"
  fi
  # The title bar's buttons are drawn in Marlett, and this Wine build does not
  # load its own fonts (fonts-wine) from where they are installed.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [[ $x11 == 1 && -f $marlett && ! -f $dir/drive_c/windows/Fonts/marlett.ttf ]]; then
    cp "$marlett" "$dir/drive_c/windows/Fonts/"
  fi
  # The stand-in is rebuilt often; refresh the copy whenever it changed.
  if [[ -n $cabinet ]] && ! cmp -s "$cabinet" "$dir/drive_c/windows/system32/cabinet.dll"; then
    cp "$cabinet" "$dir/drive_c/windows/system32/cabinet.dll"
  fi
}

# reg add|delete KEY ARGS...: one registry change. Its errors are shown once
# it has ended, from a file: the Wine services it may start keep no pipe open.
reg() {
  local errors=$dir.reg-errors status=0
  bounded 120 "reg $1 $2" "$wine" reg "$@" </dev/null >/dev/null 2>"$errors" 9>&- || status=$?
  [[ $status == 0 || $1 == delete ]] || cat "$errors" >&7
  rm -f "$errors"
  return "$status"
}

start() {
  [[ -f $dir/system.reg ]] || { echo "prefix.sh: no prefix at $dir" >&2; exit 1; }
  # Status 2: a server is running already; its services are warmed up below anyway.
  local status=0
  bounded 60 "wineserver -p" "$server" -p </dev/null >/dev/null 2>&1 || status=$?
  [[ $status == 0 || $status == 2 ]] || exit "$status"
  # Wine's services and desktop inherit the stdio of whatever starts
  # them first; start them here with /dev/null, so that no test's
  # output pipe (ctest's, say) stays open behind them.
  bounded 120 "rundll32 user32.dll,GetDesktopWindow (service warm-up)" \
    "$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}

stop() {
  bounded 60 "wineserver -k" "$server" -k </dev/null >/dev/null 2>&1 || true
}

case $cmd in
  create) create "$@" ;;
  start)  start ;;
  stop)   stop ;;
  *) usage ;;
esac
