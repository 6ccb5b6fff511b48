#!/usr/bin/env bash
# The installed tree and the two packages: each holds the exit where
# plug-ins go (off the dynamic linker's path), its headers, the tarvelo
# program, the manual pages, the files for host projects and the
# documentation. The program as installed finds the exit relative to itself,
# reports the version the exit carries, and signs a channel on. The packages'
# binaries are stripped, their version mark kept, their debug information in
# the .deb's dbgsym companion, and the .deb runs no ldconfig.
# (Pipes into "grep -q" are avoided: with pipefail, the writer's SIGPIPE
# would turn a match into a failure.)
# Each tree's tarvelo.pc gives pkg-config plain paths under the prefix it
# was installed under, or, in the .tar.gz, paths from its own place.
# Every package has its SHA-256 checksum beside it. mtail's program goes to
# etc/mtail under the prefix (/etc/mtail in the .deb, with the maintainer
# scripts that retire 1.1.0's report timer).
# Usage: install_test.sh CMAKE CPACK BUILD_DIR LIBDIR EXITDIR DOCDIR MANDIR VERSION
set -euo pipefail
cmake_cmd=$1 cpack_cmd=$2 build=$3 libdir=$4 exitdir=$5 docdir=$6 mandir=$7 version=$8

work=$(mktemp -d /tmp/tarvelo-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=(
  "$exitdir/libtarvelo.so"
  include/tarvelo.h
  include/tarvelo_version.h
  bin/tarvelo
  "$libdir/pkgconfig/tarvelo.pc"
  "$libdir/cmake/tarvelo/tarvelo-config.cmake"
  "$mandir/man1/tarvelo.1.gz"
  "$mandir/man7/tarvelo-exit.7.gz"
  "$docdir/README.md"
  "$docdir/docs/operators-guide.md"
  "$docdir/docs/messages.md"
  "$docdir/docs/partner-protocol.md"
  "$docdir/docs/developers-guide.md"
  "$docdir/examples/logrotate.conf"
  "$docdir/examples/tarvelo-alerts.yml"
  "$docdir/examples/tarvelo-alerts.test.yml"
  "$docdir/examples/prometheus-scrape.yml"
  "$docdir/copyright"
  "$docdir/changelog.gz"
)

# The program of an installed tree: it must load that tree's exit, say its
# version, and sign on; the manual pages' headers name the same version.
check_tree() {
  local root=$1 out library page
  library="$(cd "$root" && pwd -P)/$exitdir/libtarvelo.so"
  out=$(cd "$work" && "$root/bin/tarvelo" --version) || fail "--version in $root exited $?: $out"
  [ "$out" = "tarvelo $version"$'\n'"exit library $library: $version" ] ||
    fail "--version in $root: $out"
  out=$(cd "$work" && "$root/bin/tarvelo" demo) || fail "demo in $root exited $?: $out"
  grep -qF "library    $library, entry point TARVELO" <<<"$out" ||
    fail "the demo in $root did not use the exit installed there: $(grep library <<<"$out")"
  [ "$(tail -n 1 <<<"$out")" = "channel TO.PARTNER signed on: both sides proved the password" ] ||
    fail "the demo in $root did not sign on: $(tail -n 1 <<<"$out")"
  for page in man1/tarvelo.1.gz man7/tarvelo-exit.7.gz; do
    gzip -dc "$root/$mandir/$page" | grep -q "^\.TH .* \"tarvelo $version\" " ||
      fail "$page in $root does not name version $version in its header"
  done
}

# A packaged binary: stripped, with the exit's version mark still in it.
check_stripped() {
  local root=$1
  for f in "$root/bin/tarvelo" "$root/$exitdir/libtarvelo.so"; do
    ! grep -qE '\.(symtab|debug_info) ' <<<"$(readelf -S -W "$f")" || fail "$f is not stripped"
  done
  grep -qaF "@(#)TARVELO $version " "$root/$exitdir/libtarvelo.so" ||
    fail "the packaged exit has lost its version mark"
}

# What pkg-config gives a host project from a tree's tarvelo.pc: with the
# prefix the tree was installed under (PREFIX), plain paths under it; with
# none (a .tar.gz, unpacked anywhere), paths that lead to the tree's own
# files.
check_pc() {
  local root=$1 prefix=$2 pc_dir cflags exit_path
  pc_dir="$root/$libdir/pkgconfig"
  cflags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags tarvelo) || fail "pkg-config in $root"
  read -r cflags <<<"$cflags" # without the trailing blank
  exit_path=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=exit tarvelo)
  if [ -z "$prefix" ]; then
    [ "$exit_path" -ef "$root/$exitdir/libtarvelo.so" ] || fail "pkg-config's exit in $root: $exit_path"
    [ "${cflags#-I}" -ef "$root/include" ] || fail "pkg-config's Cflags in $root: $cflags"
    return 0
  fi
  grep -qx "prefix=$prefix" "$pc_dir/tarvelo.pc" ||
    fail "tarvelo.pc in $root does not name its prefix $prefix: $(grep prefix= "$pc_dir/tarvelo.pc")"
  [ "$exit_path" = "$prefix/$exitdir/libtarvelo.so" ] || fail "pkg-config's exit in $root: $exit_path"
  # pkg-config leaves out -I/usr/include, which every compiler searches.
  [ "$cflags" = "-I$prefix/include" ] || [ "$prefix" = /usr ] ||
    fail "pkg-config's Cflags in $root: $cflags"
}

# The documents as installed in a tree's doc directory: the README at most
# 100 lines, and every relative link of it and of the guides it leads to
# names a file installed there, and a heading of that file where it names
# one (as the headings' anchors are made: lower case, blanks to hyphens,
# punctuation dropped).
check_links() {
  local docs=$1 file target path anchor links=0
  [ "$(wc -l <"$docs/README.md")" -le 100 ] ||
    fail "the README in $docs has $(wc -l <"$docs/README.md") lines, over 100"
  for file in "$docs/README.md" "$docs"/docs/*.md; do
    while read -r target; do
      case $target in http://* | https://* | mailto:* | file:* | "") continue ;; esac
      path=${target%%#*}
      anchor=${target#"$path"}
      anchor=${anchor#\#}
      if [ -z "$path" ]; then path=$file; else path=$(dirname "$file")/$path; fi
      [ -f "$path" ] || fail "${file#"$docs"/} links to $target, which is not installed in $docs"
      if [ -n "$anchor" ]; then
        sed -n 's/^#\{1,6\} //p' "$path" | tr 'A-Z' 'a-z' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g' |
          grep -qx -- "$anchor" || fail "${file#"$docs"/} links to $target: no such heading"
      fi
      links=$((links + 1))
    done < <(grep -o '](\([^)]*\))' "$file" | sed 's/^](\(.*\))$/\1/')
  done
  [ "$links" -ge 5 ] || fail "only $links links found in the documents of $docs"
}

# mtail's program as "cmake --install" writes it for a prefix (FILE): the
# build's, made from the catalogue, with a pattern for every message.
check_mtail_program() {
  local file=$1
  [ -f "$file" ] || fail "mtail's program is not installed as $file"
  cmp -s "$file" "$build/packaging/mtail/tarvelo.mtail" || fail "$file is not the program the build made"
  grep -q 'TARVELO007E - Possible Partner impersonation' "$file" || fail "$file has no pattern of TARVELO007E"
}

# cmake --install, to a prefix given with a detour that must not reach
# tarvelo.pc
"$cmake_cmd" --install "$build" --prefix "$work/prefix/../prefix/" >/dev/null
for f in "${expected[@]}" "$docdir/LICENSE"; do
  [ -f "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done
check_tree "$work/prefix"
check_pc "$work/prefix" "$work/prefix"
check_links "$work/prefix/$docdir"
check_mtail_program "$work/prefix/etc/mtail/tarvelo.mtail"
[ ! -e "$work/prefix/lib/systemd" ] && [ ! -e "$work/prefix/etc/default" ] ||
  fail "cmake --install still installs the report's units or settings"

# The packages, made from the same build.
(cd "$work" && "$cpack_cmd" --config "$build/CPackConfig.cmake" -G "TGZ;DEB" -B "$work/packages" >/dev/null)
tgz=$(ls "$work"/packages/*.tar.gz)
deb=$(ls "$work"/packages/*.deb)
ddeb=$(ls "$work"/packages/*-dbgsym_*.ddeb)

for package in "$tgz" "$deb" "$ddeb"; do
  [ -f "$package.sha256" ] || fail "no checksum beside $(basename "$package")"
  (cd "$work/packages" && sha256sum --quiet -c "$(basename "$package").sha256") ||
    fail "the checksum of $(basename "$package") does not verify"
done

mkdir "$work/unpacked"
tar -xzf "$tgz" -C "$work/unpacked"
top=$(ls "$work/unpacked")
for f in "${expected[@]}" "$docdir/LICENSE"; do
  [ -f "$work/unpacked/$top/$f" ] || fail "the .tar.gz lacks $f"
done
check_tree "$work/unpacked/$top"
check_stripped "$work/unpacked/$top"
check_pc "$work/unpacked/$top" ""

listing=$(dpkg-deb -c "$deb")
for f in "${expected[@]}" share/lintian/overrides/tarvelo; do
  grep -q " \./usr/$f\$" <<<"$listing" || fail "the .deb lacks /usr/$f"
done
! grep -q "LICENSE" <<<"$listing" || fail "the .deb carries LICENSE; its copyright file points to common-licenses"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q "libc6" <<<"$depends" || fail "the .deb does not depend on the C library: $depends"
[ "$(dpkg-deb -f "$deb" Package)" = tarvelo ] || fail "the .deb is not named tarvelo"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the .deb's version is not $version"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
! grep -rqs ldconfig "$work/control" || fail "the .deb runs ldconfig: $(ls "$work/control")"
dpkg-deb -x "$deb" "$work/deb"
check_tree "$work/deb/usr"
check_stripped "$work/deb/usr"
check_pc "$work/deb/usr" /usr
check_links "$work/deb/usr/$docdir"
check_mtail_program "$work/deb/etc/mtail/tarvelo.mtail"
[ "$(cat "$work/control/conffiles")" = /etc/mtail/tarvelo.mtail ] ||
  fail "the .deb's conffiles: $(cat "$work/control/conffiles")"
! grep -qE 'systemd|etc/default' <<<"$listing" || fail "the .deb still ships the report's units or settings"
grep -q '^Suggests: .*mtail' <<<"$(dpkg-deb -f "$deb")" || fail "the .deb does not suggest mtail"
# The scripts that retire 1.1.0's report: each removes its settings as dpkg
# removes an obsolete conffile, for the version being packaged.
for script in preinst postinst postrm; do
  grep -qx "dpkg-maintscript-helper rm_conffile /etc/default/tarvelo \"$version~\" -- \"\$@\"" \
    "$work/control/$script" || fail "the .deb's $script does not retire /etc/default/tarvelo"
  sh -n "$work/control/$script" || fail "the .deb's $script is no shell script"
done
grep -q '\./usr/lib/debug/\.build-id/.*\.debug$' <<<"$(dpkg-deb -c "$ddeb")" ||
  fail "the dbgsym package holds no debug information"

echo "installed tree, $(basename "$tgz") and $(basename "$deb") hold ${#expected[@]} files each;" \
  "each program found its own exit, version $version, and signed on"
