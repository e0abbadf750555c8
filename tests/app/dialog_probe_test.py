#!/usr/bin/env python3
"""The dialog at every scale, for screen readers and from the keyboard.

Runs tests/app/dialog_probe.cpp in a Wine prefix of its own, on a virtual
screen of its own large enough for the dialog at 200 %:

1. At 96, 120, 144 and 192 DPI (Wine's LogPixels): no text clipped, no two
   controls overlapping, in every phase of the read-out; every control,
   gap and picture scaled by the same factor as at 96 DPI; the screenshot
   at 96 DPI equal, pixel for pixel, to the dialog as it was designed
   (tests/app/dialog_96dpi.png); screenshots kept in the work folder.
2. At 96 and 192 DPI, a screen reader's view through the system's
   accessibility interface, and the keys: Tab, Space and Enter on the pause
   button, Esc and Alt+F4 for the close (the probe checks each step).
3. The look in a high-contrast theme: background, text, bar and symbols in
   the theme's colours; its screenshot kept.

Usage: dialog_probe_test.py WINE_RUN PROBE WORK_DIR WINE_PREFIX REFERENCE_PNG
       [--write-reference]
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

DPIS = (96, 120, 144, 192)
VALUES = "1005"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, flush=True)


def read_bmp(path):
    """Width, height and rows (top first) of RGB bytes of a 24-bit BMP."""
    data = Path(path).read_bytes()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    row = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        line = data[offset + y * row: offset + y * row + width * 3]
        rows.append(bytes(b for i in range(0, len(line), 3)
                          for b in (line[i + 2], line[i + 1], line[i])))
    rows.reverse()
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + r for r in rows)
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" +
                           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def read_png(path):
    """Reads what write_png writes: 8-bit RGB, every row unfiltered."""
    data = Path(path).read_bytes()
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack_from(">I4s", data, pos)
        body = data[pos + 8: pos + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack_from(">II", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * 3 + 1
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


class Display:
    """A virtual X screen of the test's own, 2048 x 1536."""

    def __init__(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "2048x1536x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.name = ":" + f.readline().strip()

    def stop(self):
        self.server.terminate()
        self.server.wait()


def main():
    wine_run, probe, work, prefix, reference = sys.argv[1:6]
    write_reference = "--write-reference" in sys.argv[6:]
    work = Path(work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    display = Display()
    env = dict(os.environ, VELTRA_WINE_PREFIX=prefix, VELTRA_DISPLAY=display.name)

    def wine(*args, **kwargs):
        return subprocess.run([wine_run, *args], env=env, cwd=work, capture_output=True,
                              text=True, timeout=300, **kwargs)

    def set_dpi(dpi):
        for key in (r"HKCU\Control Panel\Desktop",
                    r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts"):
            wine("reg", "add", key, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")

    try:
        subprocess.run([wine_run, "--init"], env=env, check=True, timeout=600)
        layouts = {}
        for dpi in DPIS:
            set_dpi(dpi)
            shot = work / f"dialog_{dpi}dpi.bmp"
            result = wine(probe, "layout", str(shot))
            print(f"--- layout at {dpi} DPI, exit {result.returncode}")
            print(result.stdout, result.stderr, flush=True)
            check(f"dpi {dpi}" in result.stdout, f"the probe did not run at {dpi} DPI")
            check(result.returncode == 0, f"{result.returncode} problems at {dpi} DPI")
            layouts[dpi] = {
                tuple(m.group(1, 2)): tuple(int(v) for v in m.group(3).split())
                for m in re.finditer(r"^control (\S+) (\d+) ([-\d ]+?) text", result.stdout, re.M)
            }
            images = {tuple(m.group(1, 2)): (int(m.group(3)), int(m.group(4)))
                      for m in re.finditer(r"^image (\S+) (\d+) (\d+) (\d+)", result.stdout, re.M)}
            layouts[dpi]["images"] = images
            if shot.exists():
                width, height, rows = read_bmp(shot)
                write_png(work / f"dialog_{dpi}dpi.png", width, height, rows)
        for dpi in (192, 96):
            set_dpi(dpi)
            for key in ("esc", "altf4"):
                result = wine(probe, "keys", key)
                print(f"--- screen reader and keys at {dpi} DPI, closed by {key}, "
                      f"exit {result.returncode}")
                print(result.stdout, result.stderr, flush=True)
                check(f"closed by {key}" in result.stdout and result.returncode == 0,
                      f"{result.returncode} problems with the keys ({key}) at {dpi} DPI")

        # Every rectangle at each scale is the one at 96 DPI times the scale,
        # to within the rounding of each edge.
        base = layouts.get(96, {})
        for dpi in DPIS[1:]:
            for key, rect in base.items():
                if key == "images" or key[0] in ("moved", "back"):
                    continue
                scaled = layouts.get(dpi, {}).get(key)
                expected = tuple(v * dpi / 96 for v in rect)
                close = scaled is not None and [abs(a - b) <= 1 for a, b in zip(scaled, expected)]
                # The value column may start further right, where its labels
                # end at this scale.
                if close and key[1] == VALUES and scaled[0] >= expected[0]:
                    close[0] = True
                check(close and all(close),
                      f"{key} at {dpi} DPI is {scaled}, not {rect} scaled ({expected})")
            for key, size in base.get("images", {}).items():
                if key[0] in ("moved", "back"):
                    continue
                scaled = layouts.get(dpi, {}).get("images", {}).get(key)
                expected = tuple(v * dpi / 96 for v in size)
                check(scaled is not None and all(abs(a - b) <= 1 for a, b in zip(scaled, expected)),
                      f"picture {key} at {dpi} DPI is {scaled}, not {size} scaled")

        # WM_DPICHANGED: a window moved to a monitor of the other scale lies
        # as one started there, and as before once it is back.
        for dpi, other in ((96, 192), (192, 96)):
            for key, rect in layouts.get(dpi, {}).items():
                if key == "images":
                    continue
                phase, control = key
                if phase == "moved":
                    started = layouts.get(other, {}).get(("downloading", control))
                    check(rect == started, f"{control} moved from {dpi} to {other} DPI lies at "
                          f"{rect}, started there at {started}")
                if phase == "back":
                    before = layouts[dpi].get(("downloading", control))
                    check(rect == before, f"{control} back at {dpi} DPI lies at {rect}, "
                          f"was at {before}")

        shot96 = work / "dialog_96dpi.png"
        if write_reference:
            shutil.copy(shot96, reference)
        elif shot96.exists():
            got = read_png(shot96)
            want = read_png(reference)
            check(got[:2] == want[:2], f"the dialog at 96 DPI is {got[:2]}, was {want[:2]}")
            if got[:2] == want[:2]:
                differing = sum(1 for a, b in zip(got[2], want[2]) for i in range(0, len(a), 3)
                                if a[i:i + 3] != b[i:i + 3])
                check(differing == 0, f"{differing} pixels differ from the dialog at 96 DPI")
        result = wine(probe, "contrast", str(work / "dialog_high_contrast.bmp"))
        print(f"--- high contrast, exit {result.returncode}")
        print(result.stdout, result.stderr, flush=True)
        check(result.returncode == 0, f"{result.returncode} problems in high contrast")
        if (work / "dialog_high_contrast.bmp").exists():
            write_png(work / "dialog_high_contrast.png",
                      *read_bmp(work / "dialog_high_contrast.bmp"))
    finally:
        subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix))
        display.stop()

    print("FAILED" if failures else "PASSED", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
