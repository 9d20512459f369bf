#!/usr/bin/env python3
"""Writes the small seed corpora in fuzz/corpus/. Run from anywhere; rewrites the files."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def ihex(addr, data, rtype=0, lower=False, bad_sum=False):
    body = [len(data), addr >> 8 & 0xFF, addr & 0xFF, rtype] + list(data)
    s = (-sum(body) + (1 if bad_sum else 0)) & 0xFF
    text = ":" + "".join("%02X" % b for b in body + [s])
    return (text.lower() if lower else text) + "\r\n"


def srec(rtype, addr, data, lower=False, bad_sum=False, addr_bytes=2):
    a = list(addr.to_bytes(addr_bytes, "big"))
    body = [len(a) + len(data) + 1] + a + list(data)
    s = (0xFF - sum(body) + (1 if bad_sum else 0)) & 0xFF
    text = "S%d" % rtype + "".join("%02X" % b for b in body + [s])
    return (text.lower().replace("s", "S", 1) if lower else text) + "\r\n"


def seq(n, start=0):
    return bytes((start + 37 * i) & 0xFF for i in range(n))


EOF_I = ":00000001FF\r\n"
HDR_S = "S00B0000424F4F545F41534D80\r\n"
END_S = "S9030000FC\r\n"

INTEL = {
    "two_records.hex": ihex(0x0000, seq(16)) + ihex(0x0010, seq(16, 3)) + EOF_I,
    "lower_case.hex": ihex(0x0100, seq(8, 0xA0), lower=True) + EOF_I.lower(),
    "bad_checksum.hex": ihex(0x0200, seq(4), bad_sum=True) + ihex(0x0300, seq(4)) + EOF_I,
    "extended_and_start.hex": ihex(0, b"\x00\x00", 4) + ihex(0x1234, seq(32)) + ihex(0, b"\x00\x00\x12\x34", 5) + EOF_I,
    "top_of_image.hex": ihex(0xFFF0, seq(16)) + ihex(0xFFF8, seq(16)) + EOF_I,
    "cut_short.hex": ihex(0x4000, seq(16)) + ihex(0x4010, seq(16))[:20],
    "after_end.hex": ihex(0x0040, seq(2)) + EOF_I + ihex(0x0080, seq(2)),
    "empty_record.hex": ihex(0x0100, b"") + ihex(0x8000, b"", 3) + EOF_I,
    "one_window.hex": ihex(0, b"\x08\x00", 4) + ihex(0x0000, seq(16)) + ihex(0, b"\x10\x00", 2) + EOF_I,
    "two_windows.hex": ihex(0, b"\x08\x00", 4) + ihex(0xFFF0, seq(16)) + ihex(0, b"\x08\x01", 4) + ihex(0, seq(4)) + EOF_I,
}

SREC = {
    "writer_style.s19": HDR_S + srec(1, 0x0100, seq(16)) + srec(1, 0x0110, seq(16, 9)) + END_S,
    "count_record.s19": srec(0, 0, b"hdr") + srec(1, 0x2000, seq(32)) + srec(5, 1, b"") + srec(9, 0x2000, b""),
    "long_address_stops.s19": srec(1, 0x0010, seq(4)) + srec(2, 0x010000, seq(4), addr_bytes=3) + srec(1, 0x0020, seq(4)),
    "lower_case.s19": srec(1, 0x0300, seq(8, 0xAB), lower=True) + END_S,
    "top_of_image.s19": srec(1, 0xFFF0, seq(16)) + srec(1, 0xFFF8, seq(16)) + END_S,
    "bad_checksum.s19": srec(1, 0x0500, seq(4), bad_sum=True) + srec(1, 0x0600, seq(4)),
    "cut_short.s19": srec(1, 0x7000, seq(16)) + srec(1, 0x7010, seq(16))[:15],
    "short_count.s19": "S1020100FC\r\nS1030100FB\r\n" + END_S,
    "s3_one_window.s19": HDR_S + srec(3, 0x08000000, seq(16), addr_bytes=4) + srec(7, 0x08000000, b"", addr_bytes=4),
}


def container(targets, message, body, body_format, version=0x01020304, edition=7):
    """A container as the loader expects it, check values included."""
    target_at = 32
    message_at = target_at + 4 * len(targets)
    body_at = message_at + len(message) + 1
    head = bytearray(b"VK\0\0")
    head += struct.pack("<IH6xHHHH", version, edition, body_format, target_at, message_at, body_at)
    rest = b"".join(struct.pack("<I", t) for t in targets) + message + b"\0" + body
    head_check = zlib.crc32(bytes([head[0]]) * 24)
    body_check = zlib.crc32(bytes([body[0]]) * len(body)) if body else 0
    return bytes(head) + struct.pack("<II", head_check, body_check) + rest


HEX_BODY = (ihex(0x0000, seq(16)) + EOF_I).encode()
SREC_BODY = (HDR_S + srec(1, 0x0F80, seq(16)) + END_S).encode()

DETECT = {
    "intel.hex": INTEL["extended_and_start.hex"],
    "srec.s19": SREC["writer_style.s19"],
    "container_hex.vkf": container([0x88000000, 0x12345678], b"Kestron QRD14", HEX_BODY, 1),
    "container_srec.vkf": container([0x22000001], b"", SREC_BODY, 2),
    "container_bad_format.vkf": container([], b"msg", HEX_BODY, 7),
    "not_records.txt": "Nothing here: just some text, S and : included\r\n",
    "s3_first.s19": srec(3, 0x00001000, seq(4), addr_bytes=4) + END_S,
    "colon_in_header.vkf": container([0x41000000], b"x", HEX_BODY, 1).replace(b"VK\0\0", b"VK:0", 1),
}


def fdp_container(shape, version, edition, targets, message, offsets, scribble, body):
    """The byte layout that fuzz_container decodes: FuzzedDataProvider takes integers from the
    end of the input, byte strings from the front."""
    front = message.replace(b"\\", b"\\\\") + b"\\x" + scribble.ljust(13, b"\0") + body
    back = bytearray()
    back += bytes([shape])
    back += struct.pack("<I", version)[::-1]
    back += struct.pack("<H", edition)[::-1]
    back += bytes([len(targets)])
    for t in targets:
        back += struct.pack("<I", t)[::-1]
    for o in offsets:
        back += struct.pack("<H", o)[::-1]
    return front + bytes(reversed(back))


CONTAINER = {
    "hex_body": fdp_container(1, 0x01010101, 1, [0x88000000], b"Kestron", [0, 0, 0], b"", HEX_BODY),
    "srec_body": fdp_container(2, 0x02000000, 3, [0x22000000, 0x23000000], b"two", [0, 0, 0], b"", SREC_BODY),
    "bad_format": fdp_container(3, 1, 1, [], b"", [0, 0, 0], b"", HEX_BODY),
    "own_offsets": fdp_container(1 | 4 | 8 | 16, 1, 1, [1, 2, 3], b"abc", [40, 33, 47], b"", HEX_BODY),
    "scribbled": fdp_container(1 | 32, 1, 1, [5], b"m", [0, 0, 0], b"S1:S0:::", HEX_BODY),
}


def write(kind, files):
    folder = os.path.join(HERE, "corpus", kind)
    os.makedirs(folder, exist_ok=True)
    for name, content in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)


# The protocol targets (fuzz_proto_*): FuzzedDataProvider takes the image, the model's settings
# and its scripted faults from the end (zeros: one record, the model's defaults, no faults), and
# the front is the line's fault stream, one action per byte the device sends (ProtocolTarget.h).
TAIL = bytes(24)
PROTOCOL_SEEDS = {
    "clean_run": TAIL,
    "first_answer_stalled_5s": bytes([0xF0, 0xFF]) + TAIL,
    "first_answer_stalled_1s": bytes([0xF0, 0x32]) + TAIL,
    "bit_flips": bytes([0x00, 0xE1, 0x00, 0xE6, 0x00, 0xE3]) + TAIL,
    "bytes_lost": bytes([0x00, 0x00, 0xE8, 0x00, 0xE9]) + TAIL,
    "noise_put_in": bytes([0xEC, 0x58, 0x00, 0xED, 0x0D, 0xEE, 0x0A]) + TAIL,
    "unplugged_early": bytes([0x00] * 3 + [0xFF]) + TAIL,
    "unplugged_late": bytes([0x00] * 40 + [0xFF]) + TAIL,
    "three_records": bytes(8) + bytes([0x02, 0x11, 0x03, 0x22, 0x05, 0x33, 0x07]),
}
PROTOCOL_TARGETS = ["proto_backplane", "proto_isp8051", "proto_h8", "proto_qx4t_boot",
                    "proto_cortex_check", "proto_cortex_flash", "proto_qx4t_can"]



def fdp_tail(*fields):
    """The end of an input that FuzzedDataProvider decodes into these integers, in the order they
    are taken: (value, bytes) each, the bytes taken from the end, most significant first."""
    taken = []
    for value, size in fields:
        taken += [(value >> 8 * (size - 1 - i)) & 0xFF for i in range(size)]
    return bytes(reversed(taken))


# Cortex-M3 Flash: the image (records, then slot and pattern of each), then the loader: check
# byte, data delay (2 bytes), product, Extended Erase, read protection (7), stuck bit (3, then
# its offset in 2 bytes), the run (program, program and Go, read, compare), removing the
# protection, the flash's old content (1: old firmware from an offset; 2: the image, and perhaps
# one byte of it different at an offset), then the fault rules (0).
def cortex_flash(image, product=0, extended=0, protected=0, stuck=None, run=0, unprotect=0,
                 old=(0,)):
    stuck_fields = [(3, 1), (stuck, 2)] if stuck is not None else [(0, 1)]
    old_fields = [(old[0], 1)] + [(v, n) for v, n in old[1:]]
    return fdp_tail(*image, (1, 1), (0, 2), (product, 1), (extended, 1), (protected, 1),
                    *stuck_fields, (run, 1), (unprotect, 1), *old_fields, (0, 1))


ONE_BLOCK = [(0, 1), (2, 1), (0x31, 1)]
CORTEX_FLASH_SEEDS = {
    "old_firmware_extended_erase_2k_pages": cortex_flash(ONE_BLOCK, product=2, extended=1,
                                                         old=(1, (0x80, 2))),
    "page_size_unknown_whole_erase": cortex_flash(ONE_BLOCK, product=8, old=(1, (0, 2))),
    "stuck_bit_in_block": cortex_flash(ONE_BLOCK, stuck=0x211),
    "protected_removed_then_go": cortex_flash(ONE_BLOCK, protected=7, run=1, unprotect=1),
    "protected_left_alone": cortex_flash(ONE_BLOCK, protected=7),
    "read_old_firmware": cortex_flash(ONE_BLOCK, run=2, old=(1, (0x100, 2))),
    "compare_same": cortex_flash(ONE_BLOCK, run=3, old=(2, (0, 1))),
    "compare_one_byte_differs": cortex_flash(ONE_BLOCK, run=3, old=(2, (1, 1), (0x2C0, 2))),
}

write("intelhex", INTEL)
write("srecord", SREC)
write("detect", DETECT)
write("container", CONTAINER)
for target in PROTOCOL_TARGETS:
    write(target, PROTOCOL_SEEDS)
write("proto_cortex_flash", CORTEX_FLASH_SEEDS)
