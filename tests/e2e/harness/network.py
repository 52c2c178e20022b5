"""The private network namespace a test runs in, and its TCP tables: what the
fault-matrix tests look at and change."""

import subprocess


def in_private_network():
    """True when this process sees loopback alone and the panel's default
    address is local: the namespace that scripts/netns-run makes."""
    with open("/proc/self/net/dev") as dev:
        interfaces = [line.split(":")[0].strip() for line in dev.readlines()[2:]]
    if interfaces != ["lo"]:
        return False
    routes = subprocess.run(["ip", "route", "show", "table", "local"], capture_output=True,
                            text=True).stdout
    return "192.168.0.0/16" in routes and "10.0.0.0/8" in routes


def tcp_counters():
    """This network namespace's TCP counters from /proc/net/snmp, such as
    ActiveOpens (connect() calls that sent a SYN) and AttemptFails. They count
    connection attempts that no listener ever sees, refused ones included."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Tcp:")]
    return {name: int(value) for name, value in zip(rows[0][1:], rows[1][1:])}


def tcp_sockets(state=None, remote=None):
    """[(local port, remote "a.b.c.d:port", state hex)] of this namespace's
    IPv4 TCP sockets, optionally only those in `state` ("02" is SYN_SENT) or
    to `remote`."""
    out = []
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            local, peer, st = fields[1], fields[2], fields[3]
            host, port = peer.split(":")
            address = ".".join(str(b) for b in reversed(bytes.fromhex(host)))
            peer_text = "%s:%d" % (address, int(port, 16))
            if (state is None or st == state) and (remote is None or peer_text == remote):
                out.append((int(local.split(":")[1], 16), peer_text, st))
    return out


def ip(*args):
    """Runs `ip` inside this (private) namespace; raises when it fails."""
    result = subprocess.run(["ip"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("ip %s failed: %s" % (" ".join(args), result.stderr.strip()))
