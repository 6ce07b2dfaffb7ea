#!/usr/bin/env bash
# Headless Wine prefixes for the Windows tests.
#   prefix.sh create DIR [--cabinet DLL] [--x11]   make DIR once (stamped, locked)
#   prefix.sh start DIR | stop DIR                 persistent wineserver on/off
set -euo pipefail

wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export LC_ALL=C.UTF-8 WINEDEBUG=-all

usage() { echo "usage: $0 create DIR [--cabinet DLL] [--x11] | start DIR | stop DIR" >&2; exit 2; }

[[ $# -ge 2 ]] || usage
cmd=$1 dir=$2; shift 2
mkdir -p "$(dirname "$dir")"
dir=$(cd "$(dirname "$dir")" && pwd)/$(basename "$dir")
export WINEPREFIX=$dir

create() {
  local cabinet="" x11=0
  while [[ $# -gt 0 ]]; do
    case $1 in
      --cabinet) [[ $# -ge 2 ]] || usage; cabinet=$(realpath "$2"); shift 2 ;;
      --x11) x11=1; shift ;;
      *) usage ;;
    esac
  done
  [[ -z $cabinet || -f $cabinet ]] || { echo "prefix.sh: no such file: $cabinet" >&2; exit 2; }

  local stamp=$dir/.lumaro-prefix
  local want="x11=$x11 cabinet=${cabinet:+yes}"
  exec 9>"$dir.lock"
  flock 9
  if [[ ! -f $stamp || $(cat "$stamp") != "$want" ]]; then
    echo "prefix.sh: creating $dir ($want)" >&2
    # The Mono/Gecko installers would prompt; nothing here needs them.
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1 9>&- || true
    "$server" -w
    [[ -f $dir/system.reg ]] || { echo "prefix.sh: wineboot failed in $dir" >&2; exit 1; }
    if [[ $x11 == 0 ]]; then
      "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    fi
    # A crash would otherwise start winedbg, whose dialog never closes headless.
    "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
    "$wine" winecfg /v win10 >/dev/null 2>&1
    if [[ -n $cabinet ]]; then
      "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v cabinet /d native,builtin /f >/dev/null
    else
      "$wine" reg delete 'HKCU\Software\Wine\DllOverrides' /v cabinet /f >/dev/null 2>&1 || true
    fi
    "$server" -w
    echo "$want" > "$stamp"
  fi
  # The stand-in is rebuilt often; refresh the copy whenever it changed.
  if [[ -n $cabinet ]] && ! cmp -s "$cabinet" "$dir/drive_c/windows/system32/cabinet.dll"; then
    cp "$cabinet" "$dir/drive_c/windows/system32/cabinet.dll"
  fi
}

case $cmd in
  create) create "$@" ;;
  start)  [[ -f $dir/system.reg ]] || { echo "prefix.sh: no prefix at $dir" >&2; exit 1; }
          "$server" -p </dev/null >/dev/null 2>&1
          # Wine's services and desktop inherit the stdio of whatever starts
          # them first; start them here with /dev/null, so that no test's
          # output pipe (ctest's, say) stays open behind them.
          "$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 ;;
  stop)   "$server" -k 2>/dev/null || true ;;
  *) usage ;;
esac
