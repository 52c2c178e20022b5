"""What the panel shows and sends: its caption and default address, where its
controls sit, the colours of the link indicator, and the messages of a
connect and an Update."""

import struct

CAPTION = "Quillon Test"
DEFAULT_ADDRESS = "192.168.1.100"
PORT = 1111
KEY = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon"

# The address box's two colours: the link indicator.
LIGHT_RED = (255, 192, 192)
WHITE = (255, 255, 255)

TWIPS_PER_PIXEL = 15
# The address box inside the window's client area, in pixels: Frame1 at
# (120, 120) twips, txtIP at (240, 240) inside it, 1455 x 375 twips.
TXTIP_BOX = ((120 + 240) // 15, (120 + 240) // 15, 1455 // 15, 375 // 15)
# The frequency and system-clock boxes and the two prescaler lists, likewise.
TXTFREQ_BOX = ((105 + 240) // 15, (1050 + 240) // 15, 1200 // 15, 375 // 15)
TXTSYSCLK_BOX = ((105 + 240) // 15, (2520 + 240) // 15, 1200 // 15, 375 // 15)
CMBDDS_BOX = ((2880 + 240) // 15, (3120 + 300) // 15, 975 // 15, 315 // 15)
CMBROSA_BOX = ((2880 + 240) // 15, (3960 + 300) // 15, 975 // 15, 315 // 15)
CLIENT_SIZE = (4560 // 15, 4785 // 15)

HEARTBEAT = "7F"


def connect_sequence(rosa_index=1, dds_divider=2):
    """What every connect sends; with the defaults, what it sends with the
    start-up choices (DDS "÷2", ROSA "÷16", the charge-pump lists at "X20",
    "X2", "X1")."""
    return ["A0 01", "A6 03", "A9 61 00", "B0 %02X" % rosa_index, "A8 %02X" % dds_divider,
            "AF 01", "A3 00"]


def tuning_word_message(frequency_mhz, clock_mhz, slot=0):
    """SetTuningWord as the panel computes it: floor(A / (H / 2^32))."""
    word = int((abs(frequency_mhz) * 1e6) // ((clock_mhz * 1e6) / 4294967296.0))
    return "A5 %02X " % slot + " ".join("%02X" % b for b in struct.pack("<I", word))


def update_messages(text_mhz="12.34", clock_mhz=983.04):
    """The three messages of an Update without zero start."""
    sign = "00" if float(text_mhz) > 0 else "01"
    return [tuning_word_message(float(text_mhz), clock_mhz), "A2", "A7 " + sign]


def split_connections(messages):
    """The non-heartbeat messages split where each connect sequence begins
    ("A0 01" is sent nowhere else)."""
    parts = []
    for message in messages:
        if message == "A0 01" or not parts:
            parts.append([])
        parts[-1].append(message)
    return parts
