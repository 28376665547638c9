#!/usr/bin/env bash
# Runs a Windows test program under Wine with an X display and a Wine prefix
# of its own at the given DPI, so that screenshots show the program alone
# and the DPI reaches no other suite; BMP screenshots become PNG files.
#   isolated_wine.sh DPI -- PROGRAM.exe [ARGS...]
set -euo pipefail
dpi=$1; shift
[ "${1:-}" = "--" ] && shift
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${TESSMOR_BUILD_DIR:?TESSMOR_BUILD_DIR names the Windows build tree}
WINE=wine
[ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64
export WINEDEBUG=${WINEDEBUG:--all} TESSMOR_UI_SCREENSHOTS=${TESSMOR_UI_SCREENSHOTS:-$BUILD/screenshots}

prefix=$BUILD/wine-prefix-ui-$dpi
work=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

# A hard-linked copy of the build's prefix, made once. Wine draws the window
# frames itself and, with no window manager, waits for none.
settings=$(printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Decorated"="N"\n"Managed"="N"\n' "$dpi")
if [ "$(cat "$prefix/ui.reg" 2>/dev/null)" != "$settings" ]; then
  WINEPREFIX="$BUILD/wine-prefix" "$ROOT/tools/with-sim" --wine --prepare
  rm -rf "$prefix" "$prefix.new"
  # Other suites may add and remove temporary files meanwhile. Wine rewrites
  # its registry files by renaming, yet they are copied, not linked.
  cp -al "$BUILD/wine-prefix" "$prefix.new" 2>/dev/null || cp -a "$BUILD/wine-prefix" "$prefix.new" 2>/dev/null || true
  [ -f "$prefix.new/drive_c/windows/system32/user32.dll" ] || { echo "cannot copy the Wine prefix" >&2; exit 1; }
  for f in system.reg user.reg userdef.reg; do cp --remove-destination "$BUILD/wine-prefix/$f" "$prefix.new/$f"; done
  printf '%s\n' "$settings" > "$prefix.new/ui.reg"
  WINEPREFIX="$prefix.new" "$WINE" regedit "$prefix.new/ui.reg" >/dev/null 2>&1
  WINEPREFIX="$prefix.new" wineserver -w
  mv "$prefix.new" "$prefix"
fi

status=0
WINEPREFIX="$prefix" "$ROOT/tools/with-sim" --wine -- "$@" || status=$?
shopt -s nullglob
for bmp in "$TESSMOR_UI_SCREENSHOTS"/window-"$dpi"-*.bmp; do convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"; done
exit $status
