"""What a process holds resident, from /proc/PID/smaps: sampled while it
runs, the listing of the moment its resident total was highest. For a Wine
program, the Windows heap's large blocks (a 10,000,000-byte part buffer, the
merge's block buffer) are anonymous mappings of their own; the program and
its DLLs are file mappings named after their files."""

import os
import threading
import time

# Anonymous mappings this large are single heap blocks: Wine gives every
# block of a megabyte or more a mapping of its own.
LARGE = 8 << 20


def snapshot(pid):
    """[(name, kB resident)] of every mapping of the process."""
    mappings = []
    name = None
    try:
        with open("/proc/%d/smaps" % pid) as smaps:
            for line in smaps:
                words = line.split()
                if "-" in words[0] and len(words) >= 5 and ":" in words[3]:
                    size = (int(words[0].split("-")[1], 16) - int(words[0].split("-")[0], 16))
                    name = (os.path.basename(words[5]) if len(words) > 5 and
                            not words[5].startswith("[") else
                            words[5] if len(words) > 5 else
                            "anonymous, 8 MB or more each" if size >= LARGE else
                            "anonymous, under 8 MB each")
                elif words[0] == "Rss:" and name is not None:
                    mappings.append((name, int(words[1])))
    except OSError:
        pass
    return mappings


class ResidentSampler:
    """Samples a process every quarter second until it ends; keeps the
    listing with the highest total."""

    def __init__(self, pid):
        self.pid = pid
        self.peak = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while os.path.exists("/proc/%d" % self.pid):
            mappings = snapshot(self.pid)
            if sum(kb for _, kb in mappings) > sum(kb for _, kb in self.peak):
                self.peak = mappings
            time.sleep(0.25)

    def groups(self):
        """{name: (kB resident, mappings)} at the peak."""
        self.thread.join()
        groups = {}
        for name, kb in self.peak:
            total, count = groups.get(name, (0, 0))
            groups[name] = (total + kb, count + 1)
        return groups

    def report(self, against=None, at_least_kb=256):
        """Lines of the peak listing, each beside `against` (another
        sampler, of the reference), largest difference first; what differs
        by less is summed up."""
        mine = self.groups()
        other = against.groups() if against else {}
        lines = ["%-40s %10s %10s %10s" % ("resident at the peak, MB (mappings)", "this",
                                          "reference", "more")]
        rest = [0, 0]
        for name in sorted(set(mine) | set(other),
                           key=lambda n: -(mine.get(n, (0, 0))[0] - other.get(n, (0, 0))[0])):
            a, n = mine.get(name, (0, 0))
            b, _ = other.get(name, (0, 0))
            if abs(a - b) >= at_least_kb:
                lines.append("  %-38s %10s %10.1f %+10.1f" % (
                    name[:38], "%.1f (%d)" % (a / 1024, n), b / 1024, (a - b) / 1024))
            else:
                rest[0] += a
                rest[1] += b
        lines.append("  %-38s %10.1f %10.1f %+10.1f" % (
            "the rest (each within %d kB)" % at_least_kb, rest[0] / 1024, rest[1] / 1024,
            (rest[0] - rest[1]) / 1024))
        total_a = sum(kb for kb, _ in mine.values())
        total_b = sum(kb for kb, _ in other.values())
        lines.append("  %-38s %10.1f %10.1f %+10.1f" % ("total", total_a / 1024, total_b / 1024,
                                                        (total_a - total_b) / 1024))
        return lines
