#!/usr/bin/env bash
# Reads back the version resource of a Windows binary, as Windows shows it
# under the file's Properties, and checks it:
#
#   scripts/lib/version-resource.sh FILE VERSION
#
# FILE must carry a VERSIONINFO resource whose fixed part (FILEVERSION and
# PRODUCTVERSION) is VERSION.0, and whose strings give FileVersion and
# ProductVersion VERSION, ProductName TARVELO, a FileDescription, and
# OriginalFilename the file's own name. Prints the strings. Needs icoutils'
# wrestool.
set -euo pipefail
file=$1 version=$2
fail() { echo "!! $file: $*" >&2; exit 1; }

resource=$(mktemp)
trap 'rm -f "$resource"' EXIT
wrestool --extract --raw --type=version "$file" >"$resource" 2>/dev/null || true
[ -s "$resource" ] || fail "no version resource"

# The fixed part follows its signature 0xFEEF04BD (little-endian): the
# structure's version, then the file version's high and low words, each
# two 16-bit numbers, low one first.
hex=$(od -An -v -tx1 "$resource" | tr -d ' \n')
fixed=${hex#*bd04effe}
[ "$fixed" != "$hex" ] || fail "the version resource has no fixed part"
word() { echo $((16#${1:2:2}${1:0:2})); }
file_version="$(word "${fixed:12:4}").$(word "${fixed:8:4}").$(word "${fixed:20:4}").$(word "${fixed:16:4}")"
product_version="$(word "${fixed:28:4}").$(word "${fixed:24:4}").$(word "${fixed:36:4}").$(word "${fixed:32:4}")"
[ "$file_version" = "$version.0" ] || fail "FILEVERSION $file_version, not $version.0"
[ "$product_version" = "$version.0" ] || fail "PRODUCTVERSION $product_version, not $version.0"

# The strings are UTF-16: each name is followed by its value.
mapfile -t strings < <(strings -el -n 1 "$resource")
value() {
  local i
  for i in "${!strings[@]}"; do
    [ "${strings[$i]}" = "$1" ] && { echo "${strings[$((i + 1))]:-}"; return 0; }
  done
  return 0
}
echo "$(basename "$file"): FILEVERSION $file_version, PRODUCTVERSION $product_version"
for name in ProductName ProductVersion FileVersion FileDescription OriginalFilename CompanyName; do
  echo "  $name: $(value "$name")"
done
[ "$(value ProductName)" = TARVELO ] || fail "ProductName is \"$(value ProductName)\", not TARVELO"
[ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is not $version"
[ "$(value FileVersion)" = "$version" ] || fail "FileVersion is not $version"
[ -n "$(value FileDescription)" ] || fail "no FileDescription"
[ "$(value OriginalFilename)" = "$(basename "$file")" ] || fail "OriginalFilename is not $(basename "$file")"
