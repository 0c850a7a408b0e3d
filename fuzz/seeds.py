#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/corpus/<harness>/) from the cases
the unit tests use: valid inputs of every kind, and the broken ones the tests
check, so that fuzzing starts from the interesting paths. Run it again after
changing a case; the files are committed.

    python3 fuzz/seeds.py
"""

import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(kind, tag, payload, foot_size=None):
    n = len(payload)
    return (struct.pack("<BBHH", kind, 0, n, 0) + payload +
            struct.pack("<HH", n if foot_size is None else foot_size, tag))


def update_records(*records):
    return b"".join(struct.pack("<BBHBB", region, 0, offset, value, 0) for region, offset, value in records)


def read_record(offset, size):
    return struct.pack("<IIII", 1, offset, size, 0) + bytes(size)


def write_record(offset, data):
    return struct.pack("<III", 2, offset, len(data)) + data


END = struct.pack("<I", 0)


def local_write(offset, data):
    return bytes([0]) + struct.pack("<I", offset)[:3] + bytes([len(data) - 1]) + data


def data_block(type_, *edits):
    """A block of the image's current quarter with (position, value) edits."""
    return bytes([1, type_ - 6, len(edits)]) + b"".join(struct.pack("<HB", p, v) for p, v in edits)


def update_frame(*records):
    return bytes([2, len(records) - 1]) + update_records(*records)


COMPARE_ALL = b"\x03"


def settings(local="10.0.0.1", server="10.0.0.2", eol=b"\r\n"):
    return eol.join([b"Kestrovaline Version 2.0.0.0 ini file", b"", b"[Network Settings]",
                     b"IP Address of THIS PC = " + local.encode(), b"IP Address of server = " + server.encode(), b""])


def seeds():
    block = bytes(range(256)) * 64
    yield "frame_fuzz", {
        "block_one_receive": b"\x00" + frame(6, 0x1A2B, block),
        "block_in_pieces": b"\x07" + frame(10, 0x1B2C, block),
        "two_blocks_pending_write": b"\x80\x00\x80" + frame(7, 0xFADE, block) + frame(8, 0x1A2B, block),
        "update_frame": b"\x00" + frame(103, 0xFADE, update_records((0, 0x0274, 0x11), (2, 0x0274, 0x22)) + b"\x00"),
        "update_no_records": b"\x00" + frame(103, 0xFADE, b""),
        "beacon": b"\x00" + frame(20, 0xDEFA, b"server beacon"),
        "footer_size_off_by_one": b"\x00" + frame(6, 0xFADE, block, foot_size=16385),
        "wrong_tag": b"\x00" + frame(103, 0x1A2B, update_records((0, 1, 1))),
        "short_datagram": b"\x00" + bytes(9),
        "block_of_100_bytes": b"\x00" + frame(7, 0xFADE, bytes(100)),
        "write_batch_on_tcp": b"\x00" + frame(18, 0xFADE, write_record(0x100, b"\x01\x02\x03\x04") + END),
    }
    up = b"\x01"  # link up, logging off, the sender answers 1
    yield "request_walker_fuzz", {
        "one_read": up + read_record(0x0274, 2) + END,
        "one_write": up + write_record(0x0100, b"\x01\x02\x03\x04") + END,
        "forty_reads_one_write": up + b"".join(read_record(i * 0xCCC, 1 + i % 8) for i in range(40)) +
                                 write_record(0x0100, b"\xA0\xA1\xA2\xA3") + END,
        "two_writes": up + write_record(0x0100, b"\x01") + write_record(0x0200, b"\x02\x03") + END,
        "server_owned_write": up + write_record(0x330A, b"\xEF\xBE") + END,
        "no_link_logging_on": b"\x06" + read_record(0x0274, 2) + write_record(0x0100, b"\x05") + END,
        "send_short": b"\x09" + write_record(0x0100, b"\x05") + END,
        "unknown_kind": up + struct.pack("<III", 7, 0, 0) + END,
        "beyond_image": up + read_record(0x1FFFF, 2) + END,
        "no_end": up + read_record(0x0274, 2),
        "head_cut": up + struct.pack("<II", 1, 0x0274),
        "batch_full": b"\x21" + write_record(0x0000, bytes(16000)) + write_record(0x4000, bytes(16600)) + END,
    }
    yield "image_fuzz", {
        "write_then_old_block_then_echo": local_write(0x0100, b"\xAA\xBB") + data_block(6, (0x0100, 7)) +
                                          data_block(6, (0x0100, 0xAA), (0x0101, 0xBB)) +
                                          data_block(6, (0x0100, 1)) + COMPARE_ALL,
        "block_of_another_quarter": local_write(0x4000, b"\x01") + data_block(6, (0, 9)) + data_block(7, (0, 2)),
        "update_over_pending_write": local_write(0x0274, b"\x11\x22") + update_frame((0, 0x0274, 0x33)) +
                                     data_block(6, (0x0274, 0x33)) + COMPARE_ALL,
        "server_owned": local_write(0x330A, b"\xEF\xBE") + data_block(6, (0x330A, 1)),
        "last_byte_and_region_1": local_write(0x1FFFF, b"\x05\x06") + update_frame((1, 0xFFFF, 0x44)) +
                                  data_block(10, (0x3FFF, 0x44)),
        "type_outside": bytes([1, 0xFB, 0]) + COMPARE_ALL,
    }
    declare = (b'{"op":"declare","group":"g","offsets":[{"name":"a","offset":"0x0100","type":"u16"},'
               b'{"name":"s","offset":512,"type":"string","size":4},{"name":"b","offset":"768","type":"bytes","size":2},'
               b'{"name":"f","offset":"0x1FFF8","type":"f64"}]}')
    up_writer = b"\x01"  # link up, the sender answers done, writes allowed

    def session(*messages, control=up_writer):
        return control + b"\n".join(messages)

    yield "gateway_fuzz", {
        "declare_read": session(declare, b'{"op":"read","group":"g","id":1}'),
        "subscribe_then_write": session(declare, b'{"op":"subscribe","group":"g","interval":10}',
                                        b'{"op":"write","group":"g","values":{"a":7,"s":"\xc3\xa9","b":[1,2]}}',
                                        b'{"op":"stop","group":"g"}'),
        "each_change": session(declare, b'{"op":"subscribe","group":"g","interval":0}',
                               b'{"op":"write","values":[{"offset":"0x0100","type":"u16","value":1}]}'),
        "raw_writes": session(b'{"op":"write","id":[1],"values":[{"offset":"0x0100","type":"u64",'
                              b'"value":18446744073709551615},{"offset":8,"type":"s8","value":-128},'
                              b'{"offset":"0x330A","type":"u16","value":48879}]}'),
        "write_without_link": session(b'{"op":"write","values":[{"offset":0,"type":"f32","value":0.1}]}',
                                      control=b"\x00"),
        "write_sent_short": session(b'{"op":"write","values":[{"offset":0,"type":"u8","value":1}]}',
                                    control=b"\x03"),
        "write_refused": session(b'{"op":"write","values":[{"offset":0,"type":"u8","value":1}]}',
                                 control=b"\x09"),
        "bad_values": session(declare, b'{"op":"write","group":"g","values":{"a":7,"s":"too long"}}',
                              b'{"op":"write","values":[{"offset":0,"type":"u8","value":1},'
                              b'{"offset":0,"type":"u8","value":256}]}'),
        "redeclare": session(declare, b'{"op":"subscribe","group":"g","interval":50}',
                             b'{"op":"declare","group":"g","offsets":[{"name":"x","offset":0,"type":"s32"}]}'),
        "status": session(b'{"op":"status","id":"s"}'),
        "errors": session(b'{"op":', b'[]', b'{"op":"nope"}', b'{"op":"read","group":"none"}',
                          b'{"op":"subscribe","group":"g","interval":5}', b'{"op":"read","group":"g","id":[[[[1]]]]}'),
    }
    get, head, post = b"\x00", b"\x01", b"\x02"
    yield "page_path_fuzz", {
        "root": get + b"/",
        "page": head + b"/status.html",
        "folder": get + b"/gauges/panel.json",
        "escaped": get + b"/my%20panel.html",
        "escaped_twice": get + b"/%252e%252e/x",
        "dot_dot": get + b"/a/../../x",
        "escaped_dot_dot": get + b"/%2E%2E%2FKestrovaline.key",
        "backslash": get + b"/%5c..%5cKestrovaline.key",
        "drive": get + b"/c%3a%5cwin.ini",
        "stream": get + b"/index.html::$DATA",
        "nul": get + b"/index.html%00.png",
        "device": get + b"/sub/Com1.json",
        "trailing_dot": get + b"/index.html.",
        "bad_escape": get + b"/%4",
        "post": post + b"/",
    }
    yield "settings_fuzz", {
        "default": settings(),
        "line_feeds_only": settings(eol=b"\n"),
        "comments_and_sections": b"; comment\r\n[Other]\r\nIP Address of server = 1.1.1.1\r\n" + settings() +
                                 b"[More]\r\nkey = value ; note\r\n",
        "missing_server": b"[Network Settings]\r\nIP Address of THIS PC = 10.0.0.1\r\n",
        "overlong_value": settings(local="1" * 140),
        "quoted_semicolon": b"[Network Settings]\r\nIP Address of THIS PC = \"a;b\" ; c\r\n"
                            b"IP Address of server=10.0.0.2;x\r\n",
        "unterminated_last_line": settings()[:-2],
        "empty": b"",
    }


def main():
    for harness, cases in seeds():
        folder = os.path.join(HERE, "corpus", harness)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in cases.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
