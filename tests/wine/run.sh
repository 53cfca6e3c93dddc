#!/usr/bin/env bash
# End-to-end test of the Windows package under Wine in a virtual X server, with Wine's own
# default fonts. First morvane.inf is read and installed with the platform's setup functions
# (tests/wine/infcheck.cpp), and broken copies of it must be refused. Then Pinflip.exe and
# Fieldflip.exe run on the registry a package installation leaves (exported from the simulated
# machine), are driven with mouse clicks and keys as a person would, and are checked through
# what the screen shows (read by tests/wine/probe.cpp, which also measures every text against
# its control, at 96 and 120 dpi, in Tahoma and MS Sans Serif) and what lands in the registry.
# Screenshots and the measurements are kept in WINDOWS_BUILD_DIR/wine/. The last parts take
# the settings each tool saves to the simulated machine (tests/wine/sim_roundtrip, built here
# in LINUX_BUILD_DIR) and check the pins and frames the real driver then delivers.
#
# usage: tests/wine/run.sh [WINDOWS_BUILD_DIR] [LINUX_BUILD_DIR]
#        (defaults: build/windows, build/linux)
#
# Skips, saying so, only where Wine or the X tools are missing or Wine cannot start.

set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/windows}" && pwd) || exit 1
tools=$build/tools
artifacts=$build/wine

skip() {
  echo "wine-e2e: SKIPPED: $*"
  echo "wine-e2e: 0 passed, 0 failed, 1 skipped"
  exit 0
}

for program in wine wineboot wineserver Xvfb xdotool xwininfo import \
  x86_64-w64-mingw32-g++; do
  command -v "$program" >/dev/null 2>&1 || skip "$program is not installed"
done
package=$build/package
for file in "$tools/Pinflip.exe" "$tools/Fieldflip.exe" "$package/morvane.inf" \
  "$package/morvane.sys"; do
  if [[ ! -f $file ]]; then
    echo "wine-e2e: $file is missing: build the windows preset first" >&2
    exit 1
  fi
done
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
vendor=$(cache MORVANE_PCI_VENDOR_ID | tr a-f A-F)
standard=$(cache MORVANE_PCI_DEVICE_ID_STANDARD | tr a-f A-F)
[[ -n $vendor && -n $standard ]] || { echo "wine-e2e: no card IDs in $build" >&2; exit 1; }
hardware_ids=("PCI\\VEN_${vendor}&DEV_6864" "PCI\\VEN_${vendor}&DEV_${standard}")

# The round trip's Linux half. The suite runs before the Linux build, so it builds its part.
linux=${2:-$root/build/linux}
if [[ ! -f $linux/CMakeCache.txt ]]; then
  if [[ $linux == "$root/build/linux" ]]; then
    (cd "$root" && cmake --preset linux) >/dev/null
  else
    cmake -S "$root" -B "$linux" >/dev/null
  fi
fi
if ! cmake --build "$linux" --target sim_roundtrip -j 2 >"$linux/sim_roundtrip-build.log" 2>&1; then
  tail -n 30 "$linux/sim_roundtrip-build.log" >&2
  echo "wine-e2e: cannot build $linux/tests/sim_roundtrip" >&2
  exit 1
fi
roundtrip=$linux/tests/sim_roundtrip

# --- a throw-away world: home, Wine prefix, X server
work=$(mktemp -d /tmp/morvane-wine.XXXXXX)
export HOME=$work/home TMPDIR=$work/tmp WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$HOME" "$TMPDIR" "$artifacts"
rm -f "$artifacts"/*.png

xvfb_pid=
hold_pid=
tool_pid=
cleanup() {
  [[ -n $tool_pid ]] && kill "$tool_pid" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  timeout 20 wineserver -w >/dev/null 2>&1
  [[ -n $hold_pid ]] && kill "$hold_pid" 2>/dev/null
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

probe_exe=$work/probe.exe
x86_64-w64-mingw32-g++ -O1 -Wall -Werror -static -o "$probe_exe" "$root/tests/wine/probe.cpp" \
  -lgdi32 || { echo "wine-e2e: cannot build the probe" >&2; exit 1; }
infcheck_exe=$work/infcheck.exe
x86_64-w64-mingw32-g++ -O1 -Wall -Werror -static -o "$infcheck_exe" \
  "$root/tests/wine/infcheck.cpp" -lsetupapi -ladvapi32 ||
  { echo "wine-e2e: cannot build infcheck" >&2; exit 1; }

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" \
  >"$work/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [[ -s $work/display ]] && break
  sleep 0.1
done
[[ -s $work/display ]] || skip "Xvfb did not start: $(tail -n 3 "$work/xvfb.log")"
export DISPLAY=:$(head -n 1 "$work/display")

started=$SECONDS
if ! timeout 120 wineboot -i >"$work/wineboot.log" 2>&1 </dev/null; then
  skip "Wine cannot start here: $(tail -n 3 "$work/wineboot.log")"
fi

winereg() { timeout 30 wine reg "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# Fonts: Debian's Wine does not look in its own font folder, so its fonts are put where a Wine
# installation has them. Nothing is substituted: the dialogs get Wine's default dialog font,
# Tahoma, as the shell-font style gets it on the platform (Wine's Tahoma is the wider one).
cp /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$WINEPREFIX/drive_c/windows/Fonts/"
# A virtual desktop, so that windows get their title bars without a window manager.
winereg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
winereg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null
wineserver -k
timeout 20 wineserver -w

# Keeps the desktop up between the programs.
wine "$probe_exe" hold </dev/null >/dev/null 2>&1 &
hold_pid=$!

# --- checks
passed=0
failed=0
check() {  # check NAME COMMAND...: passes when COMMAND succeeds
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "FAIL - $name"
  fi
}
fail_now() {
  failed=$((failed + 1))
  echo "FAIL - $*"
  finish
}
finish() {
  echo "wine-e2e: $passed passed, $failed failed ($((SECONDS - started)) s after Wine started)"
  ((failed == 0))
  exit $?
}

probe() { timeout 30 wine "$probe_exe" "$@" </dev/null 2>>"$work/probe.log" | tr -d '\r'; }

# Waits for an enabled window TITLE whose X window is mapped.
wait_window() {
  local found xid
  found=$(probe wait "$1" 20) || return 1
  xid=$(awk '{ print $2 }' <<<"$found")
  for _ in $(seq 50); do
    xwininfo -id "$xid" 2>/dev/null | grep -q IsViewable && return 0
    sleep 0.1
  done
  return 1
}

control_line() { probe dump "$1" | awk -v id="$2" '$1 == "control" && $2 == id'; }
is_checked() { [[ $(control_line "$1" "$2" | awk '{ print $5 }') == 1 ]]; }

# Clicks control ID of window TITLE where it is on the screen.
click() {
  local dump desktop xy
  dump=$(probe dump "$1") || return 1
  desktop=$(awk '$1 == "desktop" { print $2 }' <<<"$dump")
  xy=$(awk -v id="$2" '$1 == "control" && $2 == id { print $7, $8; exit }' <<<"$dump")
  [[ -n $desktop && -n $xy ]] || return 1
  # shellcheck disable=SC2086
  xdotool mousemove --window "$desktop" $xy click 1
}

# Retries a command for a few seconds: the window system handles clicks asynchronously.
eventually() {
  for _ in $(seq 30); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

screenshot() {  # screenshot TITLE FILE: the window, cut from the Wine desktop
  local dump rect desktop
  dump=$(probe dump "$1")
  rect=$(awk '$1 == "window" { print $6 - $4 "x" $7 - $5 "+" $4 "+" $5 }' <<<"$dump")
  desktop=$(awk '$1 == "desktop" { print $2 }' <<<"$dump")
  [[ -n $rect && -n $desktop ]] &&
    import -window "$desktop" -crop "$rect" +repage "$artifacts/$2" 2>/dev/null
}

texts() {  # the static texts of window TITLE, in z order, joined by |
  probe dump "$1" | sed -n 's/^control [^"]* Static [^"]*"\(.*\)"$/\1/p' | paste -sd '|'
}

start_tool() {
  wine "$tools/$1.exe" </dev/null >"$work/$1.log" 2>&1 &
  tool_pid=$!
}

exit_code=
await_exit() {  # waits up to 20 s for the program to end; its exit code goes to exit_code
  exit_code=timeout
  for _ in $(seq 200); do
    if ! kill -0 "$tool_pid" 2>/dev/null; then
      wait "$tool_pid"
      exit_code=$?
      tool_pid=
      return 0
    fi
    sleep 0.1
  done
}

# Measures every static text and button of dialog template ID of EXE against its control,
# in the font face FACE or else the template's own, as the probe builds the dialog (a shown
# dialog's font belongs to its program); the lines go to the artifacts' measurements.txt under
# LABEL. Fails on any text that is clipped or wraps.
measure() {  # measure LABEL EXE ID [FACE]
  local label=$1 out rc
  shift
  out=$(probe measure-template "$(winepath -w "$1" 2>/dev/null)" "${@:2}")
  rc=$?
  { echo "== $label"; echo "$out"; } >>"$artifacts/measurements.txt"
  if ((rc != 0)) || [[ -z $out ]]; then
    grep -v ' ok "' <<<"$out" | sed 's/^/  /'
    return 1
  fi
}

both_dialogs() {  # both_dialogs TOOL WHEN [FACE]: the main dialog and the about box
  measure "$1 main dialog, $2" "$tools/$1.exe" 102 "${@:3}" &&
    measure "$1 about box, $2" "$tools/$1.exe" 100 "${@:3}"
}

# Is window TITLE centred (within a pixel) on the work area, or on window OVER when given?
centred() {
  local window area
  window=$(probe dump "$1" | awk '$1 == "window" { print $4, $5, $6, $7 }')
  if [[ -n ${2:-} ]]; then
    area=$(probe dump "$2" | awk '$1 == "window" { print $4, $5, $6, $7 }')
  else
    area=$(probe screen | awk '{ print $5, $6, $7, $8 }')
  fi
  [[ -n $window && -n $area ]] || return 1
  awk -v w="$window" -v a="$area" 'BEGIN {
    split(w, x, " "); split(a, y, " ")
    dx = (x[1] + x[3]) / 2 - (y[1] + y[3]) / 2; dy = (x[2] + x[4]) / 2 - (y[2] + y[4]) / 2
    exit !(dx * dx <= 1 && dy * dy <= 1) }'
}

# Restarts Wine with another resolution (dots per inch), keeping the prefix.
set_dpi() {
  [[ -n $hold_pid ]] && kill "$hold_pid" 2>/dev/null
  winereg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null
  winereg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null
  wineserver -k
  timeout 20 wineserver -w
  wine "$probe_exe" hold </dev/null >/dev/null 2>&1 &
  hold_pid=$!
  probe screen | grep -q " dpi $1\$"
}

rm -f "$artifacts/measurements.txt"
control='HKLM\SYSTEM\CurrentControlSet'
services="$control\\Services\\morvane\\Enum"

# --- the package: morvane.inf read and installed with the platform's setup functions
# Wine has no kernel-streaming INFs of its own: stand-ins offer the sections the package needs,
# so that Include/Needs resolve as on the platform (and a wrong name still does not).
printf '[Version]\r\nSignature="$Windows NT$"\r\n\r\n[KS.Registration]\r\n' \
  >"$WINEPREFIX/drive_c/windows/inf/ks.inf"
printf '[Version]\r\nSignature="$Windows NT$"\r\n\r\n[KSCAPTUR.Registration.NT]\r\n' \
  >"$WINEPREFIX/drive_c/windows/inf/kscaptur.inf"
infcheck() {  # infcheck FOLDER: the package in FOLDER, its report in $work/infcheck.log
  timeout 60 wine "$infcheck_exe" "$(winepath -w "$1/morvane.inf" 2>/dev/null)" \
    "${hardware_ids[@]}" </dev/null 2>&1 | tr -d '\r' >"$work/infcheck.log"
  return "${PIPESTATUS[0]}"
}
if infcheck "$package"; then
  check "package: Wine's setup functions read morvane.inf and install its service, device and
    interface sections as they should ($(grep -c '^ok' "$work/infcheck.log") checks)" true
else
  sed 's/^/  /' "$work/infcheck.log" | grep -v '^  ok'
  check "package: Wine's setup functions read and install morvane.inf" false
fi
cp "$work/infcheck.log" "$artifacts/infcheck.txt"
# Broken copies of the package must be refused, each naming its problem.
refused() {  # refused WHAT SED-EXPRESSION EXPECTED-PROBLEM
  rm -rf "$work/broken"
  cp -r "$package" "$work/broken"
  sed -i "$2" "$work/broken/morvane.inf"
  if cmp -s "$package/morvane.inf" "$work/broken/morvane.inf"; then
    echo "  the edit changed nothing"
    return 1
  fi
  ! infcheck "$work/broken" && grep -q "^PROBLEM: .*$3" "$work/infcheck.log" && return 0
  sed 's/^/  /' "$work/infcheck.log" | grep -v '^  ok'
  return 1
}
check "package: an unclosed section name is a syntax error" \
  refused syntax 's/^\[Version\]/[Version/' 'SetupOpenInfFile refuses'
check "package: a missing service section is refused" \
  refused section 's/^\[MorvaneCapture\.Service\]/[MorvaneCapture.Svc]/' 'StartType is demand start'
check "package: an automatic start is refused" \
  refused start 's/^StartType     = 3/StartType     = 2/' 'the service key: Start 3'
check "package: a missing AddReg section of an interface is refused" \
  refused addreg 's/^\[Audio5\.AddReg\]/[Audio5.Names]/' 'AddReg section \[Audio5.AddReg\]'
check "package: the audio filters in the video category are refused" \
  refused category 's/^KSCATEGORY_AUDIO   = .*/KSCATEGORY_AUDIO = "{6994AD05-93EF-11D0-A3CC-00A0C9223196}"/' \
  'MORVANE Audio 1) is not in capture and audio'
check "package: a Needs section no included INF has is refused" \
  refused needs 's/KSCAPTUR\.Registration\.NT/KSCAPTURE.Registration.NT/' 'needed section'

# --- the registry as a package installation leaves it for two cards (the simulated machine's)
if ! "$roundtrip" install-export "$work/installation.reg" 2 2>"$work/install-export.log"; then
  sed 's/^/  /' "$work/install-export.log"
  fail_now "sim_roundtrip cannot export an installation"
fi
install_cards() { winereg import "$(winepath -w "$work/installation.reg" 2>/dev/null)" >/dev/null; }
install_cards
path0=$(winereg query "$services" /v 0 | awk '$1 == "0" { print $3 }')
path1=$(winereg query "$services" /v 1 | awk '$1 == "1" { print $3 }')
[[ -n $path0 && -n $path1 ]] || fail_now "the installation lists no cards"
key0="$control\\Enum\\$path0\\Device Parameters"
key1="$control\\Enum\\$path1\\Device Parameters"

set_values() {  # set_values KEY PREFIX V0 ... V7
  local key=$1 prefix=$2 n=0
  shift 2
  for v in "$@"; do
    winereg add "$key" /v "$prefix$n" /t REG_DWORD /d "$v" /f >/dev/null
    n=$((n + 1))
  done
}
values() {  # values KEY PREFIX: the eight numbers as reg prints them
  local out
  out=$(winereg query "$1")
  for n in 0 1 2 3 4 5 6 7; do
    awk -v name="$2$n" '$1 == name { printf "%s ", $3 }' <<<"$out"
  done
}

set_values "$key0" Preview 1 0 0 0 0 0 0 1
set_values "$key1" Preview 0 0 0 0 0 0 0 0
set_values "$key0" INTMODE 0 0 0 0 0 0 0 0
set_values "$key1" INTMODE 2 0 1 0 0 0 0 0

# --- Pinflip: the main dialog as shown, the about box, two clicks and OK
start_tool Pinflip
wait_window "Preview toggle" || fail_now "Pinflip's dialog \"Preview toggle\" did not appear"
dump=$(probe dump "Preview toggle")
check "Pinflip: the dialog is 202 x 141 units in Wine's Tahoma (303 x 229 pixels)" \
  grep -q "client 303 229 " <<<"$dump"
check "Pinflip: opens centred on the screen" centred "Preview toggle"
check "Pinflip: every label, heading and button shows its whole text (Tahoma, 96 dpi)" \
  measure "Pinflip main dialog, Wine defaults, 96 dpi" "$tools/Pinflip.exe" 102
rows='Channel 1|Channel 2|Channel 3|Channel 4|Channel 5|Channel 6|Channel 7|Channel 8'
check "Pinflip: eight channel rows and the Capture and Preview headings" \
  test "$(texts "Preview toggle")" == "$rows|Capture|Preview"
check "Pinflip: the card list offers Card 1 and Card 2 and shows Card 1" \
  grep -q 'items "Card 1"|"Card 2" selection 0' <<<"$dump"
checked=$(awk '$1 == "control" && $3 == "Button" && $2 > 1000 && $5 == 1 { print $2 }' <<<"$dump" |
  tr '\n' ' ')
check "Pinflip: card 0's Preview 1 0 0 0 0 0 0 1 shown (Preview on channels 1 and 8)" \
  test "$checked" == "1002 1004 1007 1010 1013 1016 1019 1023 "
screenshot "Preview toggle" pinflip-main.png
# The about entry, the system menu's last, chosen from it with the keys as a person would.
click "Preview toggle" 1000
xdotool key alt+space
sleep 0.5
import -window "$(probe dump "Preview toggle" | awk '$1 == "desktop" { print $2 }')" \
  -crop 330x330+0+0 +repage "$artifacts/pinflip-system-menu.png" 2>/dev/null
xdotool key Up Return
if wait_window "About Pinflip"; then
  check "Pinflip: the system menu's last entry opens the about box: \"Pinflip Version 1.0\"" \
    grep -q '"Pinflip Version 1.0"' <<<"$(probe dump "About Pinflip")"
  check "Pinflip: the about box opens centred on the main dialog" \
    centred "About Pinflip" "Preview toggle"
  check "Pinflip: the about box shows its whole texts" \
    measure "Pinflip about box, Wine defaults, 96 dpi" "$tools/Pinflip.exe" 100
  screenshot "About Pinflip" pinflip-about.png
  click "About Pinflip" 1
  check "Pinflip: the about box closes with its OK" probe gone "About Pinflip" 10
else
  check "Pinflip: the system menu's about entry opens \"About Pinflip\"" false
fi

click "Preview toggle" 1005
click "Preview toggle" 1001
check "Pinflip: clicks check Preview on channel 2 and Capture on channel 1" \
  eventually eval 'is_checked "Preview toggle" 1005 && is_checked "Preview toggle" 1001'
click "Preview toggle" 1
if wait_window "IMPORTANT!"; then
  check "Pinflip: OK shows \"The new settings will not be applied until you reboot\"" \
    grep -q '"The new settings will not be applied until you reboot"' <<<"$(probe dump "IMPORTANT!")"
  screenshot "IMPORTANT!" pinflip-notice.png
  click "IMPORTANT!" 1
else
  check "Pinflip: OK shows the \"IMPORTANT!\" notice" false
fi
await_exit
check "Pinflip: ends with exit code 0 after the notice" test "$exit_code" == 0
check "Pinflip: card 0 saved as shown (Preview 0 1 0 0 0 0 0 1)" \
  test "$(values "$key0" Preview)" == "0x0 0x1 0x0 0x0 0x0 0x0 0x0 0x1 "
check "Pinflip: card 1 left alone" \
  test "$(values "$key1" Preview)" == "0x0 0x0 0x0 0x0 0x0 0x0 0x0 0x0 "

# --- Fieldflip: the second card chosen from the list, an edit, then Cancel
before0=$(winereg query "$key0")
before1=$(winereg query "$key1")
start_tool Fieldflip
wait_window "Interlace mode" || fail_now "Fieldflip's dialog \"Interlace mode\" did not appear"
dump=$(probe dump "Interlace mode")
check "Fieldflip: the dialog is 303 x 229 pixels" grep -q "client 303 229 " <<<"$dump"
check "Fieldflip: opens centred on the screen" centred "Interlace mode"
check "Fieldflip: every label, heading and button shows its whole text (Tahoma, 96 dpi)" \
  both_dialogs Fieldflip "Wine defaults, 96 dpi"
check "Fieldflip: eight channel rows and the Weave and Linear headings" \
  test "$(texts "Interlace mode")" == "$rows|Weave|Linear"
screenshot "Interlace mode" fieldflip-main.png
click "Interlace mode" 1024
xdotool key Down
# INTMODE 2 0 1: only the 2 is line-doubled by the driver, so only it shows as Linear.
check "Fieldflip: Down in the card list shows Card 2 with INTMODE 2 0 1 as Linear Weave Weave" \
  eventually eval 'control_line "Interlace mode" 1024 | grep -q "selection 1" &&
    is_checked "Interlace mode" 1002 && is_checked "Interlace mode" 1004 &&
    is_checked "Interlace mode" 1007'
click "Interlace mode" 1011
click "Interlace mode" 2
await_exit
check "Fieldflip: Cancel ends the program with exit code 0" test "$exit_code" == 0
check "Fieldflip: Cancel writes nothing" \
  test "$(winereg query "$key0")$(winereg query "$key1")" == "$before0$before1"

# --- Fieldflip again: OK on the second card saves it, silently
start_tool Fieldflip
wait_window "Interlace mode" || fail_now "Fieldflip's dialog did not appear again"
click "Interlace mode" 1024
xdotool key Down
eventually eval 'control_line "Interlace mode" 1024 | grep -q "selection 1"'
click "Interlace mode" 1005
eventually is_checked "Interlace mode" 1005
click "Interlace mode" 1
await_exit
check "Fieldflip: OK ends the program with no message and exit code 0" test "$exit_code" == 0
check "Fieldflip: card 1 saved as 2 2 0 0 0 0 0 0 (the stored 1, woven, written as 0)" \
  test "$(values "$key1" INTMODE)" == "0x2 0x2 0x0 0x0 0x0 0x0 0x0 0x0 "
check "Fieldflip: card 0 left alone" test "$(winereg query "$key0")" == "$before0"

# --- Pinflip: a listed card whose key is gone, and a card with no values yet
missing='PCI\VEN_'"$vendor"'&DEV_6864&SUBSYS_00014D56&REV_01\4&2d5b8c1&0&1800'
winereg add "$services" /v Count /t REG_DWORD /d 3 /f >/dev/null
winereg add "$services" /v 2 /t REG_SZ /d "$missing" /f >/dev/null
winereg delete "$key1" /va /f >/dev/null
set_values "$key0" Preview 1 1 1 1 1 1 1 1
start_tool Pinflip
wait_window "Preview toggle" || fail_now "Pinflip's dialog did not appear with three cards"
click "Preview toggle" 1024
xdotool key Down
check "Pinflip: Card 2, which has no values yet, shows Capture on every channel" \
  eventually eval 'control_line "Preview toggle" 1024 | grep -q "selection 1" &&
    is_checked "Preview toggle" 1001 && is_checked "Preview toggle" 1022'
xdotool key Down
if wait_window "Card 3"; then
  box=$(probe dump "Card 3")
  check "Pinflip: Card 3's missing key: \"Key not found\" captioned \"Card 3\" with the full path" \
    grep -qF "\"Key not found:" <<<"$box"
  check "Pinflip: the message's text holds the whole key path" \
    grep -qF "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\$missing\\Device Parameters\"" \
    <<<"$box"
  screenshot "Card 3" pinflip-key-not-found.png
  click "Card 3" 1
  probe gone "Card 3" 10
else
  check "Pinflip: choosing Card 3 reports \"Key not found\" captioned \"Card 3\"" false
fi
click "Preview toggle" 2
await_exit
check "Pinflip: Cancel after the message ends the program" test "$exit_code" == 0
check "Pinflip: nothing was created for the card whose key is gone" \
  eval '! winereg query "$control\\Enum\\$missing" >/dev/null 2>&1'

# --- Pinflip with no card installed
winereg delete "$services" /f >/dev/null
before0=$(winereg query "$key0")
start_tool Pinflip
if wait_window "Pinflip"; then
  check "Pinflip without cards: \"MORVANE not found\" with the program name as caption" \
    grep -q '"MORVANE not found"' <<<"$(probe dump "Pinflip")"
  click "Pinflip" 1
else
  check "Pinflip without cards: \"MORVANE not found\" appears" false
fi
wait_window "Preview toggle" || fail_now "Pinflip's dialog did not appear without cards"
check "Pinflip without cards: the card list is empty" \
  eval 'control_line "Preview toggle" 1024 | grep -q "items  selection -1"'
click "Preview toggle" 1
wait_window "IMPORTANT!" && click "IMPORTANT!" 1
await_exit
check "Pinflip without cards: OK, then the notice, then exit code 0" test "$exit_code" == 0
check "Pinflip without cards: nothing written" test "$(winereg query "$key0")" == "$before0"

# --- the round trips: the installed card set with each tool, exported as Wine writes it and
# started under the real driver on the simulated machine
install_cards
sim_key=$key0
export_card() {  # export_card NAME: the card's settings key into the artifacts
  rm -f "$work/$1"
  (cd "$work" && winereg export "$sim_key" "$1" /y >/dev/null)
  cp "$work/$1" "$artifacts/" 2>/dev/null
}
roundtrip_check() {
  "$roundtrip" "$@" >"$work/roundtrip.log" 2>&1 && return 0
  sed 's/^/  /' "$work/roundtrip.log"
  return 1
}
set_values "$sim_key" Preview 1 0 0 0 0 0 0 0
start_tool Pinflip
wait_window "Preview toggle" || fail_now "Pinflip's dialog did not appear for the round trip"
# Channel n's Capture and Preview buttons are 998 + 3n and 999 + 3n.
click "Preview toggle" 1001
click "Preview toggle" 1008
click "Preview toggle" 1017
check "round trip: clicks choose Capture on channel 1 and Preview on channels 3 and 6" \
  eventually eval 'is_checked "Preview toggle" 1001 && is_checked "Preview toggle" 1008 &&
    is_checked "Preview toggle" 1017'
click "Preview toggle" 1
wait_window "IMPORTANT!" && click "IMPORTANT!" 1
await_exit
check "round trip: Pinflip ends with exit code 0" test "$exit_code" == 0
export_card roundtrip.reg
check "round trip: with Pinflip's export, channels 3 and 6 publish preview pins, the rest capture" \
  roundtrip_check check "$work/roundtrip.reg" 3 6

set_values "$sim_key" INTMODE 0 0 0 0 0 0 0 0
start_tool Fieldflip
wait_window "Interlace mode" || fail_now "Fieldflip's dialog did not appear for the round trip"
click "Interlace mode" 1008
click "Interlace mode" 1017
check "round trip: clicks choose Linear on channels 3 and 6" \
  eventually eval 'is_checked "Interlace mode" 1008 && is_checked "Interlace mode" 1017'
click "Interlace mode" 1
await_exit
check "round trip: Fieldflip ends with exit code 0" test "$exit_code" == 0
export_card roundtrip-fieldflip.reg
check "round trip: with Fieldflip's export, channels 3 and 6 deliver line-doubled frames, the rest woven" \
  roundtrip_check check-linear "$work/roundtrip-fieldflip.reg" 3 6

# --- the dialogs in MS Sans Serif, then everything again at 120 dpi
for exe in Pinflip Fieldflip; do
  check "$exe: every text fits in MS Sans Serif at 96 dpi" \
    both_dialogs "$exe" "MS Sans Serif, 96 dpi" "MS Sans Serif"
done
if set_dpi 120; then
  start_tool Pinflip
  if wait_window "Preview toggle"; then
    screenshot "Preview toggle" pinflip-main-120dpi.png
    click "Preview toggle" 2
    await_exit
  else
    check "Pinflip at 120 dpi: the dialog appears" false
  fi
  for exe in Pinflip Fieldflip; do
    check "$exe: every text fits in Wine's Tahoma at 120 dpi" \
      both_dialogs "$exe" "Wine defaults, 120 dpi"
    check "$exe: every text fits in MS Sans Serif at 120 dpi" \
      both_dialogs "$exe" "MS Sans Serif, 120 dpi" "MS Sans Serif"
  done
else
  check "Wine restarts at 120 dpi" false
fi

echo "wine-e2e: screenshots in $artifacts: $(cd "$artifacts" && ls *.png 2>/dev/null | tr '\n' ' ')"
finish
