#!/usr/bin/env bash
# What installs with Tessaline, installed as a package build does it (prefix
# /usr into a DESTDIR): every file lands in its place, the desktop file and
# the AppStream metainfo pass their validators, the manual pages render
# without a warning, and the image tool's link leads to the tool. With the
# tool missing the install stops, names the package and leaves no link.
set -euo pipefail
build_dir=$1
gui=$2                # 1 when the desktop application is built
completion_dir=$3     # relative to the prefix, or absolute
version=$4            # the project's
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dest=$work/dest
DESTDIR=$dest cmake --install "$build_dir" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "the install failed"; }
usr=$dest/usr
[[ $completion_dir == /* ]] || completion_dir=/usr/$completion_dir

expected=(
  usr/bin/tessaline-cli
  usr/libexec/tessaline/mkisofs
  usr/share/man/man1/tessaline-cli.1
  "${completion_dir#/}/tessaline-cli"
)
if [[ $gui == 1 ]]; then
  expected+=(
    usr/bin/tessaline
    usr/share/man/man1/tessaline.1
    usr/share/applications/tessaline.desktop
    usr/share/icons/hicolor/48x48/apps/tessaline.png
    usr/share/icons/hicolor/128x128/apps/tessaline.png
    usr/share/icons/hicolor/256x256/apps/tessaline.png
    usr/share/icons/hicolor/scalable/apps/tessaline.svg
    usr/share/metainfo/io.github.tessaline.Tessaline.metainfo.xml
  )
fi
# Exactly these, nothing else.
(cd "$dest" && find . ! -type d | sed 's|^\./||' | sort) >"$work/installed"
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
diff -u "$work/expected" "$work/installed" || fail "the installed files differ from the expected ones"
for program in tessaline-cli tessaline; do
  [[ $gui == 1 || $program == tessaline-cli ]] || continue
  [[ -x $usr/bin/$program ]] || fail "$program is not executable"
done

# The link leads to the tool, which runs.
[[ $(readlink "$usr/libexec/tessaline/mkisofs") == /usr/bin/xorrisofs ]] || fail "the link does not point at xorrisofs"
"$usr/libexec/tessaline/mkisofs" -version >/dev/null 2>&1 || fail "the linked image tool does not run"

# The manual pages render, and the version is the project's.
for page in "$usr"/share/man/man1/*.1; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=100 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
  grep -q '^\.TH ".*" "1"' "$page" || fail "$(basename "$page") has no title line"
  grep -q "Tessaline $version" "$page" || fail "$(basename "$page") does not carry version $version"
done

if [[ $gui == 1 ]]; then
  desktop-file-validate "$usr/share/applications/tessaline.desktop" || fail "desktop-file-validate"
  grep -qx 'Categories=AudioVideo;DiscBurning;Qt;' "$usr/share/applications/tessaline.desktop" ||
    fail "the desktop file's categories"
  ! grep -q '^MimeType=' "$usr/share/applications/tessaline.desktop" || fail "the desktop file claims MIME types"
  appstreamcli validate-tree --no-net "$usr" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log"; fail "appstreamcli validate-tree"; }
  grep -q "<release version=\"$version\"" "$usr/share/metainfo/io.github.tessaline.Tessaline.metainfo.xml" ||
    fail "the metainfo's release is not version $version"
  python3 -c 'import sys, xml.etree.ElementTree as tree
assert tree.parse(sys.argv[1]).getroot().tag == "{http://www.w3.org/2000/svg}svg"' \
    "$usr/share/icons/hicolor/scalable/apps/tessaline.svg" || fail "the scalable icon is not an SVG document"
fi

# Without the image tool: the install stops before it copies anything, says
# which package to install, and leaves no link.
broken=$work/broken
if DESTDIR=$broken cmake -DCMAKE_INSTALL_PREFIX=/usr -DTESSALINE_IMAGE_TOOL="$work/missing/xorrisofs" \
  -P "$build_dir/cmake_install.cmake" >"$work/broken.log" 2>&1; then
  fail "the install went on without the image tool"
fi
tr -s ' \n' '  ' <"$work/broken.log" | grep -q "xorrisofs is missing: install the Debian package xorriso" ||
  { cat "$work/broken.log"; fail "the message does not name the package"; }
[[ ! -e $broken && ! -L $broken/usr/libexec/tessaline/mkisofs ]] || fail "a failed install left files behind"
echo "install: every file in its place"
