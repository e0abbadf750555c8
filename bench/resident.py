"""What a process holds resident, from /proc/PID/smaps: sampled while it
runs, the listing of the moment its resident total was highest. For a Wine
program, the Windows heap's large blocks (a 10,000,000-byte part buffer, the
merge's block buffer) are anonymous mappings of their own; the program and
its DLLs are file mappings named after their files."""

import os
import threading
import time


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
                            words[5] if len(words) > 5 else "anonymous %d kB" % (size >> 10))
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

    def report(self, at_least_kb=512):
        """Lines of the peak listing: anonymous mappings of a size of their
        own and files, largest first; what is smaller is summed up."""
        self.thread.join()
        groups = {}
        for name, kb in self.peak:
            groups[name] = groups.get(name, 0) + kb
        total = sum(groups.values())
        lines = ["resident at the peak: %.1f MB" % (total / 1024)]
        rest = 0
        for name, kb in sorted(groups.items(), key=lambda item: -item[1]):
            if kb >= at_least_kb:
                lines.append("  %8.1f MB  %s" % (kb / 1024, name))
            else:
                rest += kb
        lines.append("  %8.1f MB  everything else (each under %d kB)" % (rest / 1024,
                                                                       at_least_kb))
        return lines
