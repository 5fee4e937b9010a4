#!/bin/sh
# usage: emulate.sh QEMU PROGRAM [ARG ...]
#
# Runs PROGRAM, built for another processor, under the qemu-user program
# QEMU, so that the programs that PROGRAM starts run too, with the argument
# vector they were given.  Where the kernel lets a user namespace mount a
# binfmt_misc of its own (Linux 6.7 on), PROGRAM runs in a user and mount
# namespace in which the kernel hands every executable for that processor
# to QEMU (flag P keeps the argument vector, flag F opens QEMU once, here).
# Elsewhere, it relies on the machine's own registration for the processor,
# which Debian's qemu-user-binfmt makes for every family; QEMU_CPU reaches
# that qemu as well.  The machine's own settings are never changed.
#
# HWSTEP_EMULATE=machine skips the private registration, so that the other
# way is tested on any kernel.
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

# Throwaway namespaces tell whether the kernel allows the mount, and if not,
# why not.
misc=/proc/sys/fs/binfmt_misc
if [ "${HWSTEP_EMULATE:-}" = machine ]; then
	why="HWSTEP_EMULATE is machine"
elif ! why=$(unshare --user --map-root-user true 2>&1); then
	why="a user namespace is refused, as it is in a chroot: ${why:-unshare}"
elif ! why=$(unshare --user --map-root-user --mount \
	mount -t binfmt_misc binfmt_misc $misc 2>&1); then
	why="no binfmt_misc in a user namespace, as before Linux 6.7: ${why:-mount}"
fi
if [ -z "$why" ]; then
	exec unshare --user --map-root-user --mount sh -c '
		mount -t binfmt_misc binfmt_misc "$1"
		printf ":emulated:M::%s:%s:%s:FP\n" "$2" "$3" "$4" >"$1/register"
		shift 4
		exec "$@"' sh $misc "$magic" "$mask" "$qemu" "$@"
fi

# The machine's registration goes by the name of the qemu-user program.
enabled() { [ -r "$1" ] && read -r state <"$1" && [ "$state" = enabled ]; }
if enabled $misc/status && enabled "$misc/${qemu##*/}"; then
	exec "$@"
fi
# Nobody registers qemu for 32-bit x86 on x86-64, whose kernel (Debian's
# among them) runs such programs itself.
if [ "${qemu##*/}" = qemu-i386 ] && [ "$(uname -m)" = x86_64 ]; then
	exec "$@"
fi
echo "emulate.sh: the machine has no registration for ${qemu##*/}, and" \
	"one private to the run cannot be made ($why): install" \
	"qemu-user-binfmt and register ${qemu##*/} as BUILDING.md tells" >&2
exit 127
