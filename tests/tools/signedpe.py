"""Signed Windows programs changed where their signature's digest does not
look: inside the certificate table."""
import struct


def _security_entry(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    return pe + 24 + (96 if magic == 0x10B else 112) + 4 * 8


def besides_signature(data):
    """The bytes of the certificate table that are not its signature. Signed
    as it comes, that is the padding to 8 bytes, which varies with the
    certificates' serial numbers (the test CA makes new ones each build)."""
    entry = _security_entry(data)
    offset, size = struct.unpack_from("<II", data, entry)
    der = offset + 8  # after the table entry's own header
    assert data[der] == 0x30, "the signature is a DER sequence"
    count = data[der + 1] & 0x7F if data[der + 1] & 0x80 else 0
    length = int.from_bytes(data[der + 2:der + 2 + count], "big") if count else data[der + 1]
    return size - 8 - (2 + count + length)


def hide_in_table(data, extra):
    """`extra` bytes of data added inside the certificate table: the
    signature's recorded length and the header's table size grow by them."""
    data = bytearray(data)
    entry = _security_entry(data)
    offset, size = struct.unpack_from("<II", data, entry)
    assert offset + size == len(data), "the table ends the file"
    length = struct.unpack_from("<I", data, offset)[0]
    struct.pack_into("<I", data, offset, length + extra)
    struct.pack_into("<I", data, entry + 4, size + extra)
    return bytes(data) + bytes((i * 7 + 1) % 256 for i in range(extra))

