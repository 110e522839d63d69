# machine-kind.sh - sourced: sets `emulated` to 1 where 32-bit x86 code runs
# under qemu-i386 (scripts/prepare.sh sets that up where the kernel cannot run
# it), to 0 where it runs natively.
# Asks a 32-bit program rather than binfmt_misc, which may be registered on the
# host but not mounted where we run (a chroot or a container): the 32-bit
# dynamic loader reports the machine its process sees, "i686" under qemu and
# the kernel's own "x86_64" natively.
emulated=0
if /lib/ld-linux.so.2 --list-diagnostics 2>/dev/null | grep -qx 'uname.machine="i[3-6]86"' ||
   grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    emulated=1
fi
