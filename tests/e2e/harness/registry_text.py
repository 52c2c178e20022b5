"""The registry's text formats: the panel's settings file (a REGEDIT4 export) and
Wine's own registry files. Both are the same format, a key line in brackets
and "name"=data lines under it, read here by one parser; Wine adds its own
escapes, a time after each key name and `#` lines."""

import re

from .expected import KEY


def parse_hive(text):
    """{key path: {value name: value}} of the panel's settings file; strings as
    str, dword as int, other types as (type, bytes). Names are kept as
    spelled."""
    lines = text.splitlines()
    if not lines or lines[0].strip() != "REGEDIT4":
        raise ValueError("the settings file does not start with REGEDIT4: %r" % text[:40])
    return _parse(lines[1:], wine=False)


def parse_wine_registry(text):
    """{key path in lower case: {value name: value}} of one of Wine's
    registry files, as parse_hive gives them. A text stored without its
    terminating zero is saved as hex(1) and comes back as str too."""
    keys = _parse(text.splitlines()[1:], wine=True)
    return {path.lower(): values for path, values in keys.items()}


def write_hive_values(path, values, key=KEY):
    """A settings file holding `values` (name: text) under the panel's key."""
    lines = ["REGEDIT4", "", "[%s]" % key]
    for name, value in values.items():
        lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
    with open(path, "w", encoding="utf-8") as settings:
        settings.write("\n".join(lines) + "\n")


def _parse(lines, wine):
    # Wine escapes its key names and writes a time after them; it also holds
    # lines of its own, which are passed over. A settings file holds none.
    keys, current, pending = {}, None, ""
    for line in lines:
        line = pending + line.strip()
        pending = ""
        if line.endswith("\\") and not line.endswith('"'):
            pending = line[:-1]  # hex data continued on the next line
            continue
        if not line or line[0] in ";#":
            continue  # comments; Wine's #time=, #link and the like
        if wine and line.startswith("["):
            current = keys.setdefault(_unescape(line[1:line.index("]")]), {})
            continue
        if not wine and line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        if wine and (current is None or line[0] not in '"@'):
            continue  # the header and the like
        match = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not match or current is None:
            raise ValueError("unreadable registry line: %r" % line)
        name = "" if match.group(1) == "@" else _unescape(match.group(2))
        current[name] = _data(match.group(3), wine)
    return keys


def _data(text, wine):
    if text.startswith('"'):
        return _unescape(text[1:-1])
    if text.startswith("str("):
        return _unescape(text[text.index(":") + 2:-1])
    if text.startswith("dword:"):
        return int(text[6:], 16)
    kind, _, hexes = text.partition(":")
    data = bytes(int(h, 16) for h in hexes.split(",") if h)
    if wine and kind == "hex(1)":
        return data.decode("utf-16-le").rstrip("\0")
    return kind, data


def _unescape(text):
    """Escapes as Wine writes them: \\x and up to four hex digits, up to
    three octal digits, C letters, or the character itself (the only escapes
    of a REGEDIT4 file, \\\\ and \\")."""
    letters = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r",
               "e": "\x1b"}

    def one(match):
        escape = match.group(1)
        if escape[0] == "x":
            return chr(int(escape[1:], 16))
        if escape[0] in "01234567":
            return chr(int(escape, 8))
        return letters.get(escape, escape)

    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|[0-7]{1,3}|.)", one, text)
