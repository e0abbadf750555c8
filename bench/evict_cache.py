#!/usr/bin/env python3
"""Drops the given folders' files from the system's page cache (and only
them), so that the next read of them comes from the disk."""
import os
import sys

for folder in sys.argv[1:]:
    for root, _, names in os.walk(folder):
        for name in names:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)  # dirty pages cannot be dropped
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)
