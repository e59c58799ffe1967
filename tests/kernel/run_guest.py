#!/usr/bin/env python3
"""Boots Debian's armhf kernel under qemu-system-arm on a machine whose buses
carry the devices the test needs, runs the guest test program there, and
passes when the program's exit status, reported on the serial console, is 0.
Temperatures the program asks for are set through QMP meanwhile.

usage: run_guest.py MACHINE GUEST_DIR PROGRAM LIBRARY...
"""
import json
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

# Far beyond a run's 15 s under TCG; only a hung guest meets it.
HANG_LIMIT_S = 300

# mem= keeps the kernel off the physical pages of the board's GPIO blocks
# (0xa0050000..0xa0080fff), which lie in the machines' RAM: /dev/mem then
# maps them, and the library's LED and slice select accesses land there.
MACHINES = {
    "ast2600": (["-M", "ast2600-evb", "-m", "1G", "-dtb", "aspeed-ast2600-evb.dtb", "-serial", "stdio",
                 # The multiplexer pair on the base-board bus, the sensor
                 # behind channel 6 (port 1 of the high switch), and the
                 # base-board EEPROM in front of the switches.
                 "-device", "pca9548,bus=aspeed.i2c.bus.3,address=0x76,id=mux-low",
                 "-device", "pca9548,bus=aspeed.i2c.bus.3,address=0x77,id=mux-high",
                 "-device", "tmp105,bus=aspeed.i2c.bus.3/mux-high/i2c.1,address=0x48,id=sensor",
                 "-device", "at24c-eeprom,bus=aspeed.i2c.bus.3,address=0x51,rom-size=8192"],
                "console=ttyS4,115200 qelt_case=i2c qelt_modules=i2c-dev,i2c-aspeed "
                "qelt_links=i2c-0:i2c-3,i2c-1:i2c-4"),
    "sabrelite": (["-M", "sabrelite", "-m", "2560M", "-dtb", "imx6q-sabrelite.dtb", "-serial", "null",
                   "-serial", "stdio"],
                  "console=ttymxc1,115200 qelt_case=spi qelt_modules=gpio-mxc,spi-imx,imx2_wdt "
                  "qelt_spidev=spi0.0 qelt_links=spidev2.0:spidev0.0"),
}


def initramfs(files):
    """A newc archive of the (name in the guest, file on the host) pairs and
    the folders they need."""
    entries = [(d, 0o40755, b"") for d in ("bin", "dev", "lib", "lib/modules", "proc", "sys", "tmp")]
    entries += [(name, 0o100755, path.read_bytes()) for name, path in files]
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        name = name.encode() + b"\0"
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name), 0)
        out += b"070701" + "".join(f"{v:08X}" for v in fields).encode() + name
        out += bytes(-len(out) % 4) + data
        out += bytes(-len(out) % 4)
    return bytes(out)


def qom_set(qmp, device, value):
    """Sets a device's temperature in a QMP session of its own."""
    with socket.socket(socket.AF_UNIX) as stream:
        stream.connect(str(qmp))
        channel = stream.makefile("rw")
        channel.readline()  # the greeting
        for command in ({"execute": "qmp_capabilities"},
                        {"execute": "qom-set", "arguments": {"path": f"/machine/peripheral/{device}",
                                                             "property": "temperature", "value": value}}):
            channel.write(json.dumps(command) + "\n")
            channel.flush()
            reply = {"event": None}
            while "event" in reply:  # events may come first
                reply = json.loads(channel.readline())
        return reply


def main():
    machine, guest, program, *libraries = sys.argv[1:]
    guest = Path(guest)
    missing = [str(p) for p in (guest / "vmlinuz", guest / "rootfs") if not p.exists()]
    missing += [] if shutil.which("qemu-system-arm") else ["qemu-system-arm"]
    if missing:
        print(f"SKIPPED: {', '.join(missing)} missing: run scripts/install-deps and scripts/kernel-guest")
        return 77
    devices, append = MACHINES[machine]
    rootfs = guest / "rootfs"
    files = [(p.relative_to(rootfs).as_posix(), p) for p in rootfs.rglob("*") if p.is_file()]
    files += [("init", Path(__file__).with_name("init")), ("bin/guest_bus_test", Path(program))]
    files += [("lib/" + Path(lib).name, Path(lib)) for lib in libraries]
    # Kept in the working folder (the build tree) for a look or a run by hand.
    initrd = Path.cwd() / f"initramfs-{machine}.cpio"
    initrd.write_bytes(initramfs(files))
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        qemu = subprocess.Popen(
            ["qemu-system-arm", *devices, "-display", "none", "-monitor", "none", "-no-reboot",
             "-kernel", "vmlinuz", "-initrd", initrd, "-append", f"nosmp quiet mem=512M {append}",
             "-qmp", f"unix:{tmp / 'qmp'},server=on,wait=off"],
            cwd=guest, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        hang = threading.Timer(HANG_LIMIT_S, qemu.kill)
        hang.start()
        status = None
        for line in qemu.stdout:
            words = line.decode(errors="replace").split()
            print(line.decode(errors="replace").rstrip(), flush=True)
            if words[:1] == ["qelt-temperature"]:  # ID MILLIDEGREES: set, then let the guest go on
                print(qom_set(tmp / "qmp", words[1], int(words[2])))
                qemu.stdin.write(b"set\n")
                qemu.stdin.flush()
            elif words[:1] == ["qelt-exit"]:
                status = int(words[1])
        hang.cancel()
        qemu.wait()
    if status is None:
        print(f"FAILED: no exit status from the guest (QEMU ended with {qemu.returncode})")
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
