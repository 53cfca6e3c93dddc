#!/usr/bin/env bash
# Refuses a kernel driver image that the loader would reject or that would misbehave
# once loaded: it must be a PE32+ native image entered at DriverEntry, import only
# from the kernel, the HAL and the kernel-streaming class driver, and be built from
# objects without static constructors, destructors or thread-local data (nothing runs
# them in kernel mode).
#
# usage: check-driver-image.sh [--objdump PROG] [--map LINKER_MAP] IMAGE [OBJECT...]
#   --map  the linker map of IMAGE; needed to find DriverEntry when IMAGE is stripped
#          (otherwise its symbol table is read with the nm beside objdump).

set -u -o pipefail

objdump=x86_64-w64-mingw32-objdump
map=
while [[ $# -gt 0 ]]; do
  case "$1" in
    --objdump) objdump=$2; shift 2 ;;
    --map) map=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "check-driver-image: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [[ $# -lt 1 ]]; then
  echo "usage: check-driver-image.sh [--objdump PROG] [--map LINKER_MAP] IMAGE [OBJECT...]" >&2
  exit 2
fi
image=$1
shift

failures=0
fail() {
  echo "check-driver-image: $image: $*" >&2
  failures=$((failures + 1))
}

if ! headers=$("$objdump" -p "$image" 2>&1); then
  echo "check-driver-image: $image: objdump cannot read it:" >&2
  echo "$headers" >&2
  exit 1
fi

field() {  # value of a "Name<tabs>value" line of objdump -p, when it is hexadecimal
  awk -v name="$1" '$1 == name && $2 ~ /^[0-9a-fA-F]+$/ { print $2; exit }' <<<"$headers"
}

# --- PE32+ and native subsystem
format=$(sed -n 's/.*file format \(.*\)$/\1/p' <<<"$headers" | head -n 1)
[[ $format == pei-x86-64 ]] || fail "file format is '${format:-unknown}', not pei-x86-64"
magic=$(field Magic)
[[ $magic == 020b ]] || fail "optional header magic is '${magic:-missing}', not 020b (PE32+)"
subsystem=$(field Subsystem)
if [[ -z $subsystem ]] || ((16#$subsystem != 1)); then
  fail "subsystem is '${subsystem:-missing}', not 1 (native)"
fi

# --- entry point at DriverEntry
entry_rva=$(field AddressOfEntryPoint)
image_base=$(field ImageBase)
entry_symbol=
if [[ -n $map ]]; then
  if [[ ! -r $map ]]; then
    fail "linker map $map is not readable"
  else
    entry_symbol=$(awk '$2 == "DriverEntry" && $1 ~ /^0x[0-9a-fA-F]+$/ { print $1 }' "$map" |
      sort -u)
  fi
else
  nm=${objdump%objdump}nm
  entry_symbol=$("$nm" "$image" 2>/dev/null | awk '$3 == "DriverEntry" { print "0x" $1 }' |
    sort -u)
  [[ -n $entry_symbol ]] || fail "no symbol DriverEntry (stripped image: pass --map)"
fi
if [[ -n $entry_symbol ]]; then
  if [[ $(wc -l <<<"$entry_symbol") -ne 1 ]]; then
    fail "DriverEntry is defined more than once: $(tr '\n' ' ' <<<"$entry_symbol")"
  elif [[ ! $entry_symbol =~ ^0x[0-9a-fA-F]+$ ]]; then
    fail "cannot read the address of DriverEntry ('$entry_symbol')"
  elif [[ -z $entry_rva || -z $image_base ]]; then
    fail "no AddressOfEntryPoint/ImageBase in the optional header"
  elif ((16#$entry_rva == 0)); then
    fail "the image has no entry point"
  else
    entry=$((16#$image_base + 16#$entry_rva))
    if ((entry != entry_symbol)); then
      fail "entry point is $(printf '0x%x' "$entry"), DriverEntry is at $entry_symbol"
    fi
  fi
elif [[ -n $map && -r $map ]]; then
  fail "DriverEntry is not in the linker map $map"
fi

# --- imports: only the kernel, the HAL and the kernel-streaming class driver
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: *//p' <<<"$headers")
for dll in "${dlls[@]}"; do
  case "${dll,,}" in
    ntoskrnl.exe | hal.dll | ks.sys) ;;
    *) fail "imports from $dll (only ntoskrnl.exe, HAL.dll and ks.sys are allowed)" ;;
  esac
done

directory_size() {  # size of data directory entry $1 (hex digit); 0 when absent
  local size
  size=$(awk -v e="$1" '$1 == "Entry" && $2 == e { print $4; exit }' <<<"$headers")
  [[ $size =~ ^[0-9a-fA-F]+$ ]] || size=0
  echo "$size"
}
size=$(directory_size d)
if ((16#$size != 0)); then
  fail "has a delay-load import directory"
fi
size=$(directory_size 9)
if ((16#$size != 0)); then
  fail "has a thread-local storage directory"
fi

# --- objects: no static constructors/destructors, no thread-local data
for object in "$@"; do
  if ! sections=$("$objdump" -h "$object" 2>&1); then
    fail "objdump cannot read object $object: $sections"
    continue
  fi
  bad=$(awk '$1 ~ /^[0-9]+$/ { print $2 }' <<<"$sections" |
    grep -E '^(\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT[$]X)' | sort -u |
    tr '\n' ' ')
  if [[ -n $bad ]]; then
    fail "object $object has ${bad% }: a global constructor/destructor or thread-local" \
      "variable, which nothing runs in a driver"
  fi
done

if ((failures > 0)); then
  echo "check-driver-image: $image: REJECTED ($failures problem(s))" >&2
  exit 1
fi
echo "check-driver-image: $image: PE32+ native, entry DriverEntry, imports ${dlls[*]:-none}"
