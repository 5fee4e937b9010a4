#!/usr/bin/env bash
# usage: tools/fetch-libmodbus.sh [DIR]
#
# Fetches the source of libmodbus that tools/libmodbus.pin names, from
# Debian 12's archive and its security suite with apt-get source, into DIR
# (build/libmodbus by default): the .dsc and its tarballs as fetched, which
# a release publishes, and the source unpacked with Debian's patches, linked
# as DIR/source, which the static and cross presets build.  The .dsc must
# have the pinned SHA-256; dpkg-source checks the tarballs against it.  The
# apt lists it needs are its own, in DIR: the machine's are not changed.
# A DIR that already holds the pinned source is left as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=libmodbus.pin
. tools/libmodbus.pin
dir=$(realpath -m "${1:-build/libmodbus}")
dsc=$dir/libmodbus_${libmodbus_version#*:}.dsc

pinned() { [ -f "$dsc" ] && [ -d "$dir/source/src" ] &&
	echo "$libmodbus_dsc_sha256  $dsc" | sha256sum -c --quiet --status; }
if pinned; then
	exit 0
fi
for tool in apt-get dpkg-source; do
	if ! command -v $tool >/dev/null; then
		echo "fetch-libmodbus.sh: $tool not found; it is in dpkg-dev and apt" >&2
		exit 1
	fi
done
rm -rf "$dir"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$dir/apt/sources.list" <<END
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main
END
apt=(-o "Dir::Etc::SourceList=$dir/apt/sources.list"
	-o Dir::Etc::SourceParts=/dev/null
	-o "Dir::State::Lists=$dir/apt/lists"
	-o "Dir::Cache=$dir/apt/cache")
apt-get "${apt[@]}" -qq update
(cd "$dir" && apt-get "${apt[@]}" -qq source --only-source "libmodbus=$libmodbus_version" 2>&1 |
	grep -v '^W: Download is performed unsandboxed' || true)
rm -rf "$dir/apt"
if ! pinned; then
	ln -sfn "$(cd "$dir" && ls -d libmodbus-*/ | head -n 1)" "$dir/source"
fi
if ! pinned; then
	echo "fetch-libmodbus.sh: $dsc is not the pinned source" \
		"(SHA-256 $libmodbus_dsc_sha256)" >&2
	exit 1
fi
echo "fetch-libmodbus.sh: libmodbus $libmodbus_version in $dir"
