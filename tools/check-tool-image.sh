#!/usr/bin/env bash
# Refuses a settings tool program that would not run as a plain desktop program on a machine
# with nothing installed: it must be a PE32+ GUI-subsystem image importing only system DLLs
# (no MinGW run-time DLL), and carry its resources: dialogs 100 and 102, string 101, icon
# group 128 of nine images, a version block and the manifest asking for common controls 6 and
# administrator rights, all in English (UK).
#
# usage: check-tool-image.sh [--objdump PROG] IMAGE
#   windres is taken from beside objdump, to read the resources back out of IMAGE.

set -u -o pipefail

objdump=x86_64-w64-mingw32-objdump
while [[ $# -gt 0 ]]; do
  case "$1" in
    --objdump) objdump=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "check-tool-image: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [[ $# -ne 1 ]]; then
  echo "usage: check-tool-image.sh [--objdump PROG] IMAGE" >&2
  exit 2
fi
image=$1
windres=${objdump%objdump}windres

failures=0
fail() {
  echo "check-tool-image: $image: $*" >&2
  failures=$((failures + 1))
}

if ! headers=$("$objdump" -p "$image" 2>&1); then
  echo "check-tool-image: $image: objdump cannot read it:" >&2
  echo "$headers" >&2
  exit 1
fi

field() {
  awk -v name="$1" '$1 == name && $2 ~ /^[0-9a-fA-F]+$/ { print $2; exit }' <<<"$headers"
}

# --- PE32+ desktop program
format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n 1)
[[ $format == pei-x86-64 ]] || fail "file format is '${format:-unknown}', not pei-x86-64"
magic=$(field Magic)
[[ $magic == 020b ]] || fail "optional header magic is '${magic:-missing}', not 020b (PE32+)"
subsystem=$(field Subsystem)
if [[ -z $subsystem ]] || ((16#$subsystem != 2)); then
  fail "subsystem is '${subsystem:-missing}', not 2 (Windows GUI)"
fi

# --- imports: system DLLs only
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: *//p' <<<"$headers")
((${#dlls[@]} > 0)) || fail "imports nothing (an import table is expected)"
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    advapi32.dll | comctl32.dll | gdi32.dll | kernel32.dll | msvcrt.dll | user32.dll) ;;
    *) fail "imports from $dll (only system DLLs are allowed)" ;;
  esac
done
delay=$(awk '$1 == "Entry" && $2 == "d" { print $4; exit }' <<<"$headers")
if [[ $delay =~ ^[0-9a-fA-F]+$ ]] && ((16#$delay != 0)); then
  fail "has a delay-load import directory"
fi

# --- resources, read back as a script
if ! script=$("$windres" -J coff -i "$image" -O rc 2>&1); then
  fail "windres cannot read its resources: $script"
  script=
fi
has() { grep -Eq "$1" <<<"$script"; }
has '^100 DIALOGEX ' || fail "no dialog 100 (about box)"
has '^102 DIALOGEX ' || fail "no dialog 102 (main dialog)"
has '^  101, "[^"]+"' || fail "no string 101 (system menu entry)"
has '^128 14 ' || fail "no icon group 128"
has 'Has 9 elements' || fail "icon group 128 does not have nine images"
icons=$(grep -Ec '^[0-9]+ 3 /\* RT_ICON \*/' <<<"$script")
((icons == 9)) || fail "has $icons icon images, not 9"
has '^1 VERSIONINFO' || fail "no version block"
has 'VALUE "FileVersion", "1\.0\.0\.1"' || fail "FileVersion is not 1.0.0.1"
has 'VALUE "ProductVersion", "1\.0\.0\.1"' || fail "ProductVersion is not 1.0.0.1"
has '^1 24 /\* RT_MANIFEST \*/' || fail "no application manifest"
has 'Microsoft\.Windows\.Common-Controls"" version=""6\.0\.0\.0' ||
  fail "the manifest does not ask for common controls 6.0.0.0"
# The tools write under HKLM: without this an administrator's double-click runs them with a
# filtered token and they find no card.
has 'requestedExecutionLevel level=""requireAdministrator""' ||
  fail "the manifest does not request administrator rights (requireAdministrator)"
languages=$(grep -E '^LANGUAGE ' <<<"$script" | sort -u | tr '\n' ' ')
[[ $languages == "LANGUAGE 9, 2 " ]] ||
  fail "resource languages are '${languages% }', not English (United Kingdom) only"

if ((failures > 0)); then
  echo "check-tool-image: $image: REJECTED ($failures problem(s))" >&2
  exit 1
fi
echo "check-tool-image: $image: PE32+ Windows GUI, imports ${dlls[*]}, resources complete"
