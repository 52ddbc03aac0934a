# Checks of a Windows DLL with the mingw-w64 objdump, shared by windows.sh and windows-package.sh.
# The caller defines fail().

expected_exports="Ostrel_CloseTvWall Ostrel_Duplicate Ostrel_Finalize Ostrel_Initialize Ostrel_LastErrorCode Ostrel_OpenTvWall Ostrel_StartPlay Ostrel_StopPlay Ostrel_Version"
# What a DLL may import: DLLs every Windows system has. Anything else (the compiler's runtime
# DLLs above all) would have to ship beside ostrel.dll.
system_dlls="kernel32.dll msvcrt.dll ws2_32.dll advapi32.dll user32.dll ntdll.dll"

# Exported names of a PE file, sorted, one line.
pe_exports() {
  "$1" -p "$2" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0}
                      on {print $NF}' | sort | tr '\n' ' ' | sed 's/ $//'
}
# Imported DLL names of a PE file, lower case, one per line.
pe_imports() { "$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }

check_dll() { # objdump dll
  objdump=$1 dll=$2
  [ -f "$dll" ] || fail "$dll was not built"
  echo "$objdump -p $dll:"
  "$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
  "$objdump" -p "$dll" | grep 'DLL Name:'
  exports=$(pe_exports "$objdump" "$dll")
  [ "$exports" = "$expected_exports" ] ||
    fail "$dll exports [$exports], expected [$expected_exports]"
  for dll_name in $(pe_imports "$objdump" "$dll"); do
    case " $system_dlls " in
      *" $dll_name "*) ;;
      *) fail "$dll imports $dll_name, which is not a system DLL" ;;
    esac
  done
  echo "exports: the nine Ostrel_ functions, undecorated; imports: system DLLs only"
}

# No DWARF sections left (a stripped DLL).
check_stripped() { # objdump dll
  debug=$("$1" -h "$2" | awk '$2 ~ /^\.debug/ {print $2}' | tr '\n' ' ')
  [ -z "$debug" ] || fail "$2 still carries $debug"
  echo "stripped: no debug sections"
}

# The VERSIONINFO resource holds VERSION (x.y.z) in its fixed part and as ProductVersion text.
check_version_resource() { # dll version
  python3 - "$1" "$2" <<'PY' || fail "$1 has no version resource for $2"
import re, struct, sys
data = open(sys.argv[1], "rb").read()
want = sys.argv[2]
at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO's signature
if at < 0:
    sys.exit("no VS_FIXEDFILEINFO")
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)
fixed = f"{file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16}"
texts = data.decode("utf-16-le", "replace") + data[1:].decode("utf-16-le", "replace")
if fixed != want or not re.search(f"ProductVersion\0+{re.escape(want)}\0", texts):
    sys.exit(f"file version {fixed}, ProductVersion text not {want}")
print(f"version resource: FileVersion {fixed}.{file_ls & 0xFFFF}, ProductVersion {want}")
PY
}
