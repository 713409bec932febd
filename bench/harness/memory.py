"""This process's memory, from /proc: the resident size, and the peak since the last reset."""
import os


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM")
