#!/usr/bin/env bash
# usage: tools/release.sh [DIR]
#
# Makes the files of a release in DIR (dist/ by default), from the presets
# that developers use:
#   hwstep-VERSION.tar.gz          the source of the commit checked out
#   hwstep_VERSION_ARCH.deb        the Debian packages (the package preset),
#   hwstep-modbus_VERSION_ARCH.deb ARCH being this machine's (amd64 on a PC)
#   hwstep-dev_VERSION_ARCH.deb
#   hwstep-VERSION-ARCH-linux      the static executables of each processor
#   hwstep-lines-VERSION-ARCH-linux  family, hwstep-modbus's with libmodbus
#   hwstep-modbus-VERSION-ARCH-linux linked in, built from Debian 12's source
#   libmodbus_V.dsc, libmodbus_V.orig.tar.gz, libmodbus_V.debian.tar.xz
#                                  that source, as tools/fetch-libmodbus.sh
#                                  fetched it (the version that
#                                  tools/libmodbus.pin names)
#   libmodbus-COPYING.LESSER       its licence, the LGPL
#   libmodbus-NOTICE               what is linked into which file, and how
#                                  to relink it
#   LICENSE                        the licence, which goes with every copy
#   hwstep.1, hwstep.1.txt         the manuals, as pages and as plain text
#   hwstep-lines.1, hwstep-lines.1.txt
#   hwstep-modbus.1, hwstep-modbus.1.txt
#   SHA256SUMS                     for sha256sum -c
# The same commit gives the same bytes, wherever and whenever it is built.
# Run from an unpacked source tarball, which has no git, it makes all but
# the tarball, to be compared with a release's SHA256SUMS.
#
# It builds the executables and packages only; the presets' tests run them
# (cmake --workflow --preset NAME, as .ci/run does).
set -euo pipefail
dist=$(realpath -m "${1:-$(dirname "$0")/../dist}")
cd "$(dirname "$0")/.."

# Each family: the preset that builds its executables, and its name.
boards="static:x86_64 i686:i686 arm:arm arm64:aarch64 riscv64:riscv64"

# Every tool missing is named in one run, with the Debian package that has it.
missing=()
need() {
	if [ ! -e "$1" ] && ! command -v "$1" >/dev/null; then
		echo "release.sh: $1 not found; it is in the Debian package $2" >&2
		missing+=("$2")
	fi
}
need cmake cmake
need make make
need g++ g++
need musl-gcc musl-tools
need i686-linux-gnu-g++ g++-i686-linux-gnu
need arm-linux-gnueabi-g++ g++-arm-linux-gnueabi
need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
need riscv64-linux-gnu-g++ g++-riscv64-linux-gnu
need dpkg-shlibdeps dpkg-dev
need file file
need readelf binutils
need groff groff-base
need /usr/src/googletest googletest
need /usr/include/modbus/modbus.h libmodbus-dev
need dpkg-source dpkg-dev
[ ! -e .git ] || need git git
if [ ${#missing[@]} -gt 0 ]; then
	echo "release.sh: as root, or with sudo: apt-get install ${missing[*]}" >&2
	exit 1
fi
if [ -e .git ]; then
	if ! git diff --quiet HEAD --; then
		echo "release.sh: the work tree has changes that are not committed;" \
			"a release is made from a commit" >&2
		exit 1
	fi
fi

# The libmodbus that the static hwstep-modbus links, into build/libmodbus,
# where the presets find it.
tools/fetch-libmodbus.sh >/dev/null
for board in $boards; do
	cmake --preset "${board%%:*}" >/dev/null
	cmake --build --preset "${board%%:*}" --target hwstep hwstep-lines \
		hwstep-modbus
done
# cpack gives the members of a .deb the modes of the files that it writes,
# which follow the umask.
(umask 022 && cmake --workflow --preset package)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
arch=$(dpkg --print-architecture)
mkdir -p "$dist"
files=()
if [ -e .git ]; then
	files+=("hwstep-$version.tar.gz")
	git archive --prefix="hwstep-$version/" -o "$dist/${files[-1]}" HEAD
fi
for deb in hwstep hwstep-modbus hwstep-dev; do
	files+=("${deb}_${version}_$arch.deb")
	cp "build/package/${files[-1]}" "$dist/"
done
for program in hwstep hwstep-lines hwstep-modbus; do
	for board in $boards; do
		files+=("$program-$version-${board#*:}-linux")
		exe=build/${board%%:*}/$program
		# Copied to a board, it must need nothing there: no interpreter,
		# no shared library, no symbols.
		if readelf -lSW "$exe" | grep -qE '^ +(INTERP|DYNAMIC) |\.symtab|\.debug_'; then
			echo "release.sh: $exe is not a stripped static executable" >&2
			exit 1
		fi
		cp "$exe" "$dist/${files[-1]}"
	done
done
# A board has no manual pages: the pages go with the executables, and as
# plain text for a machine without a formatter.
files+=(LICENSE)
cp LICENSE "$dist/"
# The LGPL asks that the library's source go with the files that link it,
# with its licence, and a way to relink them.
# shellcheck source=libmodbus.pin
. tools/libmodbus.pin
# In the same order in every locale.
mapfile -t sources < <(cd build/libmodbus && LC_ALL=C ls libmodbus_*)
for f in "${sources[@]}"; do
	files+=("$f")
	cp "build/libmodbus/$f" "$dist/"
done
files+=(libmodbus-COPYING.LESSER libmodbus-NOTICE)
cp build/libmodbus/source/COPYING.LESSER "$dist/libmodbus-COPYING.LESSER"
cat >"$dist/libmodbus-NOTICE" <<END
The files hwstep-modbus-$version-{x86_64,i686,arm,aarch64,riscv64}-linux
of this release link libmodbus statically: Debian 12's source package
libmodbus, version $libmodbus_version, its upstream version with Debian's
patches, built for each processor from the files of that package that
this release holds as they were fetched:
$(printf '  %s\n' "${sources[@]}")
No other file of this release holds any part of libmodbus.

libmodbus is free software under the GNU Lesser General Public License,
version 2.1 or later: libmodbus-COPYING.LESSER. To relink hwstep-modbus
with another libmodbus, or a changed one, build it from the source of
this release, hwstep-$version.tar.gz, naming that library's source tree:

  cmake --preset static -DHWSTEP_LIBMODBUS_SOURCE=/path/to/libmodbus
  cmake --build --preset static --target hwstep-modbus

(the presets i686, arm, arm64 and riscv64 build for the other processors).
END
for page in hwstep.1 hwstep-lines.1 hwstep-modbus.1; do
	files+=("$page" "$page.txt")
	cp "build/package/$page" "$dist/"
	groff -mandoc -Tutf8 -P-cbou "build/package/$page" >"$dist/$page.txt"
done
(cd "$dist" && sha256sum "${files[@]}" >SHA256SUMS)
echo "release.sh: $dist:"
cat "$dist/SHA256SUMS"
