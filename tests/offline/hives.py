"""Registry hive files laid out as Windows lays them out, and a check of any
hive's cells. Format 1.3 lists up to LEAF subkeys in an lf leaf and more in an
ri over li leaves; 1.5 uses lh leaves, under an ri past LEAF.

    hives.py check HIVE          exits 1, naming each problem, when the hive's cells are unsound
    hives.py blank HIVE MINOR    writes an empty hive of format 1.MINOR
"""
import functools
import operator
import pathlib
import struct
import sys

LEAF, NONE, LINK = 500, 0xFFFFFFFF, 6
# Owner BUILTIN\Administrators, group SYSTEM, no DACL: a self-relative security descriptor.
DESCRIPTOR = bytes([1, 0, 4, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0])


def upcased(name):
    """`name` as Windows compares and orders names: each character by its simple upper-case mapping."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def stored(name, flag):
    """A name's bytes as Windows stores them, and `flag` when they are Latin-1 (compressed), else UTF-16LE."""
    return (name.encode("latin-1"), flag) if all(ord(c) < 256 for c in name) else (name.encode("utf-16-le"), 0)


class Writer:
    def __init__(self, minor):
        self.minor, self.data, self.bin_end, self.keys, self.offsets = minor, bytearray(), 0, 0, {}

    def close_bin(self):  # the rest of the current bin, one free cell
        rest = self.bin_end - len(self.data)
        self.data += struct.pack("<i", rest) + bytes(rest - 4) if rest else b""

    def cell(self, payload):
        """Appends a cell in use holding `payload`, in a 4 KiB bin that it does not cross; returns its offset."""
        size = (len(payload) + 4 + 7) & ~7
        if len(self.data) + size > self.bin_end:
            self.close_bin()
            start, bin_size = len(self.data), (size + 32 + 4095) // 4096 * 4096
            self.data += b"hbin" + struct.pack("<II", start, bin_size) + bytes(20)
            self.bin_end = start + bin_size
        at = len(self.data)
        self.data += struct.pack("<i", -size) + payload + bytes(size - 4 - len(payload))
        return at

    def put(self, at, offset, fmt, *values):  # fields at `offset` in the cell at `at` (its size at 0)
        struct.pack_into(fmt, self.data, at + offset, *values)

    def key(self, name, node, parent, flags, security, path=""):
        raw, compressed = stored(name, 0x20)
        self.keys += 1
        link = any(kind == LINK for kind, _ in node["values"].values())
        at = self.cell(b"nk" + struct.pack("<HQ15IHH", flags | compressed | link * 0x10, 0, 0,
                                           parent, 0, 0, NONE, NONE, 0, NONE, security, NONE, 0, 0, 0, 0, 0,
                                           len(raw), 0) + raw)
        self.offsets[path] = at
        values = []
        for value_name, (kind, data) in node["values"].items():
            (vraw, compressed), inline = stored(value_name, 1), len(data) <= 4
            where = struct.unpack("<I", data.ljust(4, b"\0"))[0] if inline else self.data_cell(data)
            values.append(self.cell(b"vk" + struct.pack("<HIIIHH", len(vraw), len(data) | inline << 31, where,
                                                        kind, compressed, 0) + vraw))
            self.offsets[path, value_name] = values[-1]
        if values:
            self.put(at, 40, "<II", len(values), self.cell(struct.pack("<%dI" % len(values), *values)))
        offsets = [(self.key(child, below, at, 0, security, (path + "\\" + child).lstrip("\\")), child)
                   for child, below in sorted(node["children"].items(), key=lambda item: upcased(item[0]))]
        if offsets:  # subkey count, list, longest name
            self.put(at, 24, "<IIII", len(offsets), 0, self.subkey_list(offsets), NONE)
            self.put(at, 56, "<I", 2 * max(len(child) for child in node["children"]))
        return at

    def data_cell(self, data):
        """A value's data: past 16344 bytes in format 1.4 and later a big-data record over segments."""
        if self.minor < 4 or len(data) <= 16344:
            return self.cell(data)
        segments = [self.cell(data[at:at + 16344] + bytes(4)) for at in range(0, len(data), 16344)]
        return self.cell(b"db" + struct.pack("<HI", len(segments), self.cell(struct.pack("<%dI" % len(segments), *segments))))

    def leaf(self, entries, indexed=False):
        if self.minor < 5 and indexed:
            return self.cell(b"li" + struct.pack("<H%dI" % len(entries), len(entries), *(at for at, _ in entries)))
        signature = b"lh" if self.minor >= 5 else b"lf"
        body = b"".join(struct.pack("<I", at) + (struct.pack("<I", functools.reduce(
            lambda hash, c: (hash * 37 + ord(c)) & 0xFFFFFFFF, upcased(name), 0)) if self.minor >= 5 else
            name.encode("latin-1", "replace")[:4].ljust(4, b"\0")) for at, name in entries)
        return self.cell(signature + struct.pack("<H", len(entries)) + body)

    def subkey_list(self, entries):
        if len(entries) <= LEAF:
            return self.leaf(entries)
        leaves = [self.leaf(entries[i:i + LEAF], True) for i in range(0, len(entries), LEAF)]
        return self.cell(b"ri" + struct.pack("<H%dI" % len(leaves), len(leaves), *leaves))


def write_hive(path, keys, minor=3):
    """A hive holding `keys` ({path: {value name: (type, bytes)}}); a key holding a
    SymbolicLinkValue of type REG_LINK is made a link. Returns the offsets of its
    records: {key path: key record, (key path, value name): value record}."""
    root = {"values": {}, "children": {}}
    for key, values in keys.items():
        node = root
        for part in key.split("\\"):
            node = node["children"].setdefault(part, {"values": {}, "children": {}})
        node["values"].update(values)
    writer = Writer(minor)
    security = writer.cell(b"sk" + struct.pack("<HIIII", 0, 0, 0, 0, len(DESCRIPTOR)) + DESCRIPTOR)
    root_at = writer.key("ROOT", root, NONE, 0x0C, security)  # a hive entry that cannot be deleted
    writer.put(security, 8, "<III", security, security, writer.keys)  # every key uses the one record
    writer.close_bin()
    header = bytearray(4096)
    struct.pack_into("<4sIIQIIIIIII", header, 0, b"regf", 1, 1, 0, 1, minor, 0, 1, root_at, len(writer.data), 1)
    struct.pack_into("<I", header, 508, functools.reduce(operator.xor, struct.unpack_from("<127I", header)))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(bytes(header) + writer.data)
    return writer.offsets


def header(path, at, value):
    """Sets the header field `at` of the hive at `path` to the 32-bit `value`, its checksum kept right."""
    data = bytearray(path.read_bytes())
    struct.pack_into("<I", data, at, value)
    struct.pack_into("<I", data, 508, functools.reduce(operator.xor, struct.unpack_from("<127I", data)))
    path.write_bytes(data)


def field(path, cell, at, fmt="<I", value=None):
    """The field `at` bytes into the cell at offset `cell` of the hive at `path`; sets it to `value` when given."""
    data = bytearray(path.read_bytes())
    if value is not None:
        struct.pack_into(fmt, data, 4096 + cell + at, value)
        path.write_bytes(data)
    return struct.unpack_from(fmt, data, 4096 + cell + at)[0]


def check_hive(path):
    """The problems of a hive's cells: a cell referenced but free, one in use that
    nothing references, a list that is empty, out of order or holding two names
    alike but for case, a count that differs."""
    data = pathlib.Path(path).read_bytes()
    u32 = lambda at: struct.unpack_from("<I", data, 4096 + at)[0]  # noqa: E731
    u16 = lambda at: struct.unpack_from("<H", data, 4096 + at)[0]  # noqa: E731
    sig = lambda at: data[4100 + at:4102 + at]  # noqa: E731
    used, at, problems, seen, users = set(), 4096, [], set(), {}
    minor = struct.unpack_from("<I", data, 24)[0]
    while at < 4096 + struct.unpack_from("<I", data, 40)[0]:
        end, cell = at + struct.unpack_from("<I", data, at + 8)[0], at + 32
        while cell < end:
            size = struct.unpack_from("<i", data, cell)[0]
            used.update([cell - 4096] if size < 0 else [])
            cell += abs(size) or end
        at = end

    def ref(cell, what):
        if cell not in used:
            problems.append("%s at %#x is not a cell in use" % (what, cell))
        seen.add(cell)

    def name(nk):
        raw = data[4096 + nk + 80:4096 + nk + 80 + u16(nk + 76)]
        return upcased(raw.decode("latin-1") if u16(nk + 6) & 0x20 else raw.decode("utf-16-le"))

    def walk(nk):
        users[u32(nk + 48)] = users.get(u32(nk + 48), 0) + 1
        for cell, what in ((nk, "key"), (u32(nk + 48), "security"), (u32(nk + 52), "class name"),
                           (u32(nk + 44) if u32(nk + 40) else NONE, "value list")):
            ref(cell, what) if cell != NONE else None
        for i in range(u32(nk + 40)):
            vk, size = u32(u32(nk + 44) + 4 + 4 * i), u32(u32(u32(nk + 44) + 4 + 4 * i) + 8)
            ref(vk, "value")
            if size and not size & 0x80000000:
                ref(u32(vk + 12), "data")
            if minor >= 4 and 16344 < size < 0x80000000:  # a big-data record over segments
                big = u32(vk + 12)
                ref(u32(big + 8), "segment list")
                for segment in range(u16(big + 6)):
                    ref(u32(u32(big + 8) + 4 + 4 * segment), "data segment")
        children, lists = [], [u32(nk + 32)] if u32(nk + 32) != NONE else []
        for cell in lists:
            ref(cell, "subkey list")
            count, width = u16(cell + 6), 8 if sig(cell) in (b"lf", b"lh") else 4
            entries = [u32(cell + 8 + width * i) for i in range(count)]
            if not count:
                problems.append("empty subkey list at %#x" % cell)
            lists += entries if sig(cell) == b"ri" else []
            children += [] if sig(cell) == b"ri" else entries
        names = [name(child) for child in children]
        if len(children) != u32(nk + 24) or names != sorted(set(names)):
            problems.append("key %s: %d subkeys listed, %d counted, in order: %s"
                            % (name(nk), len(children), u32(nk + 24), names == sorted(set(names))))
        for child in children:
            walk(child)

    walk(struct.unpack_from("<I", data, 36)[0])
    problems += ["security at %#x used by %d keys, counts %d" % (sk, n, u32(sk + 16))
                 for sk, n in users.items() if u32(sk + 16) != n]
    problems += ["cell at %#x in use, referenced by nothing" % cell for cell in sorted(used - seen)]
    return problems


if __name__ == "__main__":
    found = write_hive(pathlib.Path(sys.argv[2]), {}, int(sys.argv[3])) and None if sys.argv[1] == "blank" \
        else check_hive(sys.argv[2])
    sys.exit("\n".join(found or []) or None)
