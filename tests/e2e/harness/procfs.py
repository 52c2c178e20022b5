"""What /proc says of a running process, for the tests and the benchmarks."""


def rss_kib(pid):
    """The resident set of process `pid` in KiB (VmRSS), 0 when it has none."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
