"""End-to-end harness: the real quillon binary against quillon-sim, under Xvfb.

Every test runs inside a private network namespace (scripts/netns-run) in
which the private address ranges are routed to loopback, so the panel's
default address reaches the simulator started here and nothing else. A test
file run directly re-runs itself through scripts/netns-run.

One module a job: session (the Session of a test, its folder and processes,
and the entry point), processes (the panel and the simulator as programs),
x11 (the virtual display: input and screenshots), procfs (what /proc says
of a process), registry_text (the registry's text formats), network (the namespace's TCP tables), wine (the
Windows panel under Wine), remote (a script's connection to the
remote-control port) and expected (what the panel shows and sends).

Environment:
  QUILLON_BIN, QUILLON_SIM_BIN   the binaries (CTest passes them)
  QUILLON_EXE, QUILLON_INSTALLER the Windows panel and its installer
                                 (scripts/test-windows passes them)
  QUILLON_E2E_KEEP=1             keep each session's folder (logs, settings file, record)
  QUILLON_UPDATE_SCREENSHOT=1    test_window rewrites docs/screenshot.png
"""

from .expected import (CAPTION, CLIENT_SIZE, CMBDDS_BOX, CMBROSA_BOX, DEFAULT_ADDRESS,  # noqa: F401
                       HEARTBEAT, KEY, LIGHT_RED, PORT, TWIPS_PER_PIXEL, TXTFREQ_BOX,
                       TXTIP_BOX, TXTSYSCLK_BOX, WHITE, connect_sequence, split_connections,
                       tuning_word_message, update_messages)
from .network import in_private_network, ip, tcp_counters, tcp_sockets  # noqa: F401
from .processes import Panel, Process, Sim, Timeout, wait_for  # noqa: F401
from .procfs import rss_kib  # noqa: F401
from .registry_text import parse_hive, parse_wine_registry, write_hive_values  # noqa: F401
from .remote import IDN, Script, free_port  # noqa: F401
from .session import (NETNS_RUN, REPO, SKIP, E2ETestCase, Session, main,  # noqa: F401
                      own_session, printing_logs)
from .wine import Wine, wine_program  # noqa: F401
