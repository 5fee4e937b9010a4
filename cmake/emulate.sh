#!/bin/sh
# usage: emulate.sh QEMU PROGRAM [ARG ...]
#
# Runs PROGRAM, built for another processor, under the qemu-user program
# QEMU, in a user and mount namespace of its own in which the kernel hands
# every executable for that processor to QEMU: so the programs that PROGRAM
# starts run too, with the argument vector they were given (flag P), and
# QEMU is opened once, here (flag F).  The machine's own binfmt_misc
# settings are not touched.
set -eu
qemu=$(command -v "$1") || { echo "emulate.sh: $1 not found" >&2; exit 127; }
shift

# The ELF header of an executable for the processor: class, byte order,
# version, then e_type (executable or position-independent) and e_machine.
e='\x00\x00\x00\x00\x00\x00\x00\x00\x00'
case ${qemu##*/} in
qemu-i386) magic="\x7fELF\x01\x01\x01$e\x02\x00\x03\x00" big=0 ;;
qemu-arm) magic="\x7fELF\x01\x01\x01$e\x02\x00\x28\x00" big=0 ;;
qemu-aarch64) magic="\x7fELF\x02\x01\x01$e\x02\x00\xb7\x00" big=0 ;;
qemu-riscv64) magic="\x7fELF\x02\x01\x01$e\x02\x00\xf3\x00" big=0 ;;
qemu-s390x) magic="\x7fELF\x02\x02\x01$e\x00\x02\x00\x16" big=1 ;;
*) echo "emulate.sh: no ELF header known for ${qemu##*/}" >&2; exit 127 ;;
esac
# Every byte counts but the ABI version and the low bit of e_type.
if [ $big = 1 ]; then
	mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff'
else
	mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
fi

exec unshare --user --map-root-user --mount sh -c '
	mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
	printf ":emulated:M::%s:%s:%s:FP\n" "$1" "$2" "$3" \
		>/proc/sys/fs/binfmt_misc/register
	shift 3
	exec "$@"' sh "$magic" "$mask" "$qemu" "$@"
