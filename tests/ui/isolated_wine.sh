#!/usr/bin/env bash
# Runs a Windows test program under Wine on an X display and in a Wine prefix of its own at the given DPI, so that
# screenshots show the program alone and neither the DPI nor the stand-in for the file browser (OPEN_RECORDER, run
# for "open" of a folder) reaches another suite. Raw screenshots become PNG files.
#   isolated_wine.sh OPEN_RECORDER.exe DPI PROGRAM.exe [ARGS...]
set -euo pipefail
recorder=$(realpath "$1") dpi=$2 && shift 2
ROOT=$(cd "$(dirname "$0")/../.." && pwd) BUILD=${TESSMOR_BUILD_DIR:?TESSMOR_BUILD_DIR names the Windows build tree}
WINE=wine && [ -x /usr/lib/wine/wine64 ] && WINE=/usr/lib/wine/wine64
export WINEDEBUG=${WINEDEBUG:--all} TESSMOR_UI_SCREENSHOTS=${TESSMOR_UI_SCREENSHOTS:-$BUILD/screenshots}
prefix=$BUILD/wine-prefix-ui-$dpi work=$(mktemp -d) && mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 & xvfb=$!
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -rf "$work"' EXIT
# Xvfb writes its display number once it is ready, or dies and closes the pipe.
read -r -t 120 display < "$work/display" && export DISPLAY=":$display" || { echo "Xvfb did not start" >&2; exit 1; }

# A hard-linked copy of the build's prefix (registry files copied: Wine replaces them), made once. Wine draws the
# window frames itself and, with no window manager, waits for none; it opens folders with App Paths' "explorer".
settings=$(printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Decorated"="N"\n"Managed"="N"\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\explorer]\n@="Z:%s"\n' \
  "$dpi" "${recorder//\//\\\\}")
if [ "$(cat "$prefix/ui.reg" 2>/dev/null)" != "$settings" ]; then
  WINEPREFIX="$BUILD/wine-prefix" "$ROOT/tools/with-sim" --wine --prepare
  rm -rf "$prefix" "$prefix.new"
  cp -al "$BUILD/wine-prefix" "$prefix.new" 2>/dev/null || cp -a "$BUILD/wine-prefix" "$prefix.new" 2>/dev/null || true
  [ -f "$prefix.new/drive_c/windows/system32/user32.dll" ] || { echo "cannot copy the Wine prefix" >&2; exit 1; }
  for f in system.reg user.reg userdef.reg; do cp --remove-destination "$BUILD/wine-prefix/$f" "$prefix.new/$f"; done
  printf '%s\n' "$settings" > "$prefix.new/ui.reg"
  WINEPREFIX="$prefix.new" "$WINE" regedit "$prefix.new/ui.reg" >/dev/null 2>&1
  WINEPREFIX="$prefix.new" wineserver -w
  mv "$prefix.new" "$prefix"
fi

WINEPREFIX="$prefix" "$ROOT/tools/with-sim" --wine -- "$@" && status=0 || status=$?
shopt -s nullglob
for raw in "$TESSMOR_UI_SCREENSHOTS"/window-"$dpi"-*.bgra; do  # NAME.WIDTHxHEIGHT.bgra, rows bottom up
  size=${raw%.bgra} && convert -size "${size##*.}" -depth 8 "bgra:$raw" -alpha off -flip "${raw%.*.bgra}.png" && rm "$raw"
done
exit $status
