#!/usr/bin/env bash
# The release packages: builds them with cpack, installs the .deb into a scratch
# root (dpkg -x), unpacks the .tar.gz and the Windows zip, and runs what they
# installed on a card image: each must do exactly what the built tool does.
#
#   packages.sh NATIVE_BUILD_DIR WINDOWS_BUILD_DIR
set -u
native=$(realpath "$1")
windows=$(realpath "$2")
MODE=packages
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
TOOL=$windows/RecoverQelSD.exe
MODE=windows prepare_mode

(cd "$native" && cpack >/dev/null 2>&1) || fail "cpack of the native build"
(cd "$windows" && cpack >/dev/null 2>&1) || fail "cpack of the Windows build"
deb=$native/recoverqelsd_1.01_amd64.deb
tgz=$native/RecoverQelSD-1.01-linux-x86_64.tar.gz
zip=$windows/RecoverQelSD-1.01-win64.zip
for f in "$deb" "$tgz" "$zip"; do [ -f "$f" ] && pass || fail "no package $f"; done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
"$native/tests/make_card" binary card.img manifest --sectors 3000 --seed 4

# run_in DIR PROGRAM...: runs a program on the card in a fresh directory; its
# console in DIR/out (the .exe's CR LF turned into LF) and its upload files' lines in DIR/lines.
run_in() {
    local dir=$1
    shift
    mkdir "$dir"
    (cd "$dir" && "$@" ../card.img 20240101 20240131 PK01 >out.raw 2>/dev/null </dev/null)
    if [ "$1" = wine ]; then sed 's/\r$//' "$dir/out.raw" >"$dir/out"; else cp "$dir/out.raw" "$dir/out"; fi
    cat "$dir"/PK01_*.txt >"$dir/lines"
}
run_in built "$native/RecoverQelSD"

# The .deb, installed into a scratch root.
dpkg-deb -f "$deb" Package Version Architecture >control
same_text "deb control" $'Package: recoverqelsd\nVersion: 1.01\nArchitecture: amd64\n' control
dpkg -x "$deb" root
for f in usr/bin/RecoverQelSD usr/share/man/man1/RecoverQelSD.1 usr/share/doc/recoverqelsd/README.md \
    usr/share/doc/recoverqelsd/LICENSE; do
    [ -f "root/$f" ] && pass || fail "the .deb does not install $f"
done
run_in deb "$work/root/usr/bin/RecoverQelSD"
same_file "installed binary console" built/out deb/out
same_file "installed binary records" built/lines deb/lines
grep -q '^RecoverQelSD V1.01 ' deb/out && pass || fail "the installed binary's banner is not V1.01"

# The .tar.gz.
mkdir tgz-root && tar -xzf "$tgz" -C tgz-root
run_in tgz "$work/tgz-root/RecoverQelSD-1.01-linux-x86_64/bin/RecoverQelSD"
same_file "tar.gz binary console" built/out tgz/out

# The Windows zip, its .exe run under Wine.
unzip -q "$zip" -d zip-root
for f in RecoverQelSD.exe RecoverQelSD-guide.txt LICENSE.txt; do
    [ -f "zip-root/RecoverQelSD-1.01-win64/$f" ] && pass || fail "the zip does not hold $f"
done
run_in zip wine "$work/zip-root/RecoverQelSD-1.01-win64/RecoverQelSD.exe"
same_file "zipped .exe console" built/out zip/out
same_file "zipped .exe records" built/lines zip/lines

finish
