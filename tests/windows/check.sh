#!/usr/bin/env bash
# The checks of the Windows build. Each passes only on a positive sign of success (GoogleTest's
# summary, the exact expected output), never on an exit code alone.
#
#   check.sh gtest PROGRAM [ARG...]            GoogleTest program under Wine: exit 0, at least
#                                              one test passed, none failed
#   check.sh output EXPECTED PROGRAM [ARG...]  under Wine: exit 0 and standard output equal to
#                                              the file EXPECTED, byte for byte
#   check.sh error CODE EXPECTED PROGRAM [ARG...]
#                                              under Wine: exit 1, standard output equal to
#                                              EXPECTED and "fmxhost: error CODE" on standard error
#   check.sh nohost EXPECTED PROGRAM PLUGIN    as output, run from a folder holding only
#                                              PROGRAM, PLUGIN and WinSCard.dll
#   check.sh tables PLUGIN                     the plug-in DLL's export and import tables
#   check.sh version PLUGIN VERSION            the plug-in DLL's version resource
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
objdump=x86_64-w64-mingw32-objdump
leftovers=()
trap 'rm -rf "${leftovers[@]}"' EXIT

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# Runs a program under Wine into $out (standard output) and $status; its standard error
# follows ours afterwards (a Wine process it starts must not hold on to our streams).
run() {
    out=$(mktemp)
    err=$(mktemp)
    leftovers+=("$out" "$err")
    status=0
    "$here/wine.sh" run "$@" </dev/null >"$out" 2>"$err" || status=$?
    cat "$err" >&2
}

gtest() {
    run "$@"
    cat "$out"
    [ "$status" -eq 0 ] || fail "$1 exited with $status"
    grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' "$out" || fail "$1: no passed tests"
    ! grep -q '^\[  FAILED  \]' "$out" || fail "$1: failed tests"
    echo "PASSED: $1"
}

output() {
    local expected=$1
    shift
    run "$@"
    [ "$status" -eq 0 ] || {
        cat "$out"
        fail "$* exited with $status"
    }
    if ! cmp -s "$expected" "$out"; then
        echo "--- expected ($expected)" && od -c "$expected" | head -40
        echo "--- got" && od -c "$out" | head -40
        fail "$*: output differs"
    fi
    echo "PASSED: $* gave $(basename "$expected")"
}

error() {
    local code=$1 expected=$2
    shift 2
    run "$@"
    [ "$status" -eq 1 ] || fail "$* exited with $status, not 1"
    cmp -s "$expected" "$out" || {
        cat "$out"
        fail "$*: output differs from $expected"
    }
    # Standard error is a text stream on Windows: its lines end in CR LF.
    tr -d '\r' <"$err" | grep -qx "fmxhost: error $code" || fail "$*: no 'fmxhost: error $code'"
    echo "PASSED: $* gave error $code and $(basename "$expected")"
}

nohost() {
    local expected program=$2 plugin=$3 dir
    expected=$(realpath "$1")
    dir=$(mktemp -d "$PWD/nohost.XXXXXX")
    leftovers+=("$dir")
    cp "$program" "$plugin" WinSCard.dll "$dir/"
    cd "$dir"
    output "$expected" "$program" "$plugin"
}

tables() {
    local plugin=$1 dump exports imports
    dump=$("$objdump" -p "$plugin")

    # Exports: FMExternCallProc alone, under its plain name.
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        grep -E '^\s+\[' | grep -Eo '\] [^ ]+$' | cut -c3- | sort | xargs)
    [ "$exports" = "FMExternCallProc" ] || fail "exports are '$exports'"

    # Imports: system DLLs and WinSCard.dll; no MinGW runtime DLL and no FMWrapper.dll, which
    # is delay-loaded. The system DLLs' names are those a 64-bit Windows always has.
    imports=$(grep -Eo 'DLL Name: .*' <<<"$dump" | cut -d' ' -f3 | sort -f | xargs)
    echo "imports: $imports"
    grep -qi '\bWinSCard\.dll\b' <<<"$imports" || fail "WinSCard.dll is not imported"
    for dll in $imports; do
        case "${dll,,}" in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | winscard.dll) ;;
        *) fail "unexpected import $dll" ;;
        esac
    done

    # The delay-load import of FMWrapper.dll: its name and its functions' names are in the
    # binary, bound at the first call through the import library's thunks.
    grep -qa 'FMWrapper\.dll' "$plugin" || fail "no delay-load import of FMWrapper.dll"
    grep -qa 'FM_ExprEnv_RegisterExternalFunctionEx' "$plugin" ||
        fail "no delay-load import of the SDK functions"
    echo "PASSED: exports FMExternCallProc only; imports $imports; FMWrapper.dll delay-loaded"
}

# The fixed part of VERSIONINFO (FileVersion and ProductVersion as four numbers) and its
# strings, which FileMaker and Windows show; VERSION is the project's, e.g. 1.0.
version() {
    /usr/bin/python3 - "$1" "$2" <<'EOF'
import struct, subprocess, sys
plugin, version = sys.argv[1], sys.argv[2]
parts = [int(p) for p in version.split(".")]
parts += [0] * (4 - len(parts))
text = ".".join(map(str, parts))
with open(plugin, "rb") as f:
    data = f.read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("FAILED: no VS_FIXEDFILEINFO")
_, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, at)
packed = (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
if (fms, fls) != packed or (pms, pls) != packed:
    sys.exit(f"FAILED: fixed versions {fms:08X}.{fls:08X} / {pms:08X}.{pls:08X}, not {text}")
words = subprocess.run(["strings", "-el", plugin], capture_output=True, text=True,
                       check=True).stdout.splitlines()
want = {"ProductName": "Tessarin", "FileVersion": text, "ProductVersion": text,
        "OriginalFilename": "Tessarin.fmx64", "InternalName": "Tessarin",
        "FileDescription": "Tessarin: reads the Belgian eID card into FileMaker"}
got = {key: words[i + 1] for i, key in enumerate(words[:-1]) if key in want}
if got != want:
    sys.exit(f"FAILED: version strings {got}, not {want}")
print(f"PASSED: version resource {text}, ProductName Tessarin, OriginalFilename Tessarin.fmx64")
EOF
}

command=${1:?usage: check.sh gtest|output|error|nohost|tables|version ...}
shift
case "$command" in
gtest | output | error | nohost | tables | version) "$command" "$@" ;;
*) fail "unknown check $command" ;;
esac
