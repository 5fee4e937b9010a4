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
#   hwstep-lines-VERSION-ARCH-linux  family
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

# hwstep-modbus is published as its package alone: the static builds have
# no libmodbus of their own yet.
echo "release.sh: hwstep-modbus is not built static yet; its package is made" >&2
for board in $boards; do
	cmake --preset "${board%%:*}" >/dev/null
	cmake --build --preset "${board%%:*}" --target hwstep hwstep-lines
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
for program in hwstep hwstep-lines; do
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
for page in hwstep.1 hwstep-lines.1 hwstep-modbus.1; do
	files+=("$page" "$page.txt")
	cp "build/package/$page" "$dist/"
	groff -mandoc -Tutf8 -P-cbou "build/package/$page" >"$dist/$page.txt"
done
(cd "$dist" && sha256sum "${files[@]}" >SHA256SUMS)
echo "release.sh: $dist:"
cat "$dist/SHA256SUMS"
