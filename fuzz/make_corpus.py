#!/usr/bin/env python3
"""Writes the seed inputs under fuzz/corpus/. Run it again after changing it;
the files it writes are kept in the repository."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def hex_record(rtype, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, rtype]) + bytes(data)
    check = (-sum(body)) & 0xFF
    return ":" + (body + bytes([check])).hex().upper()


def s_record(rtype, address, data):
    width = {0: 2, 1: 2, 2: 3, 3: 4, 5: 2, 6: 3, 7: 4, 8: 3, 9: 2}[rtype]
    body = address.to_bytes(width, "big") + bytes(data)
    body = bytes([len(body) + 1]) + body
    return "S%d" % rtype + (body + bytes([~sum(body) & 0xFF])).hex().upper()


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def iap_frame(code, payload):
    head = bytes([0xFE, code]) + bytes(payload).ljust(6, b"\0")
    crc = crc16(head)
    return head + bytes([crc >> 8, crc & 0xFF])


def flash_frame(*body):
    return bytes(body) + bytes([sum(body) & 0xFF])


def readers():
    ramp = list(range(16))
    plain = "\r\n".join([
        hex_record(0x00, 0x0000, ramp),
        hex_record(0x00, 0x0010, [0x12, 0x34, 0x56, 0x78]),
        hex_record(0x01, 0x0000, []),
    ]) + "\r\n"
    extended = "\n".join([
        hex_record(0x04, 0x0000, [0x00, 0x01]),
        hex_record(0x00, 0xFFF8, [0xA5] * 12),
        hex_record(0x02, 0x0000, [0x12, 0x00]),
        hex_record(0x00, 0x0004, [0x00, 0xFF, 0x7F]),
        hex_record(0x05, 0x0000, [0x00, 0x00, 0x01, 0x00]),
        hex_record(0x01, 0x0000, []),
    ]) + "\n"
    top = "\n".join([
        "  " + hex_record(0x04, 0x0000, [0x00, 0xFF]) + " ",
        hex_record(0x00, 0xFFF0, [0x01] * 16),
        "",
        hex_record(0x01, 0x0000, []),
    ])
    broken = "\n".join([
        hex_record(0x00, 0x0100, [1, 2, 3]),
        ":0300000001020309",  # wrong check value
    ]) + "\n"
    asc = "\n".join([
        "// firmware for the bench board",
        "@0000",
        "12",
        "34 ; second byte",
        "0x56",
        "@0x000E",
        "AA",
        "BB",
        "CC",
        "@@FFFFFFFE",
        "01",
        "02",
        "03",
        "-1",
        "",
    ])
    asc_crlf = "@100\r\nFF\r\n  7f\r\n;comment only\r\n@1000F\r\n01\r\n02"
    srec = "\n".join([
        s_record(0, 0, b"HDR"),
        s_record(1, 0x0000, ramp),
        s_record(1, 0x0008, [0x12, 0x34]),
        s_record(5, 2, []),
        s_record(9, 0, []),
    ]) + "\n"
    srec_high = "\r\n".join([
        s_record(3, 0x08FF0000, ramp),
        s_record(2, 0xFFFFF8, ramp[:8]),
        s_record(6, 2, []),
        s_record(7, 0x08FF0000, []),
    ]) + "\r\n"
    # The first four bytes give the raw binary its address.
    binary = bytes([0x00, 0x01, 0x00, 0x08, 0x12, 0x34, 0xFF, 0xFF, 0x56])
    return {
        "plain.hex": plain,
        "extended.hex": extended,
        "top.hex": top,
        "broken.hex": broken,
        "basic.asc": asc,
        "crlf.asc": asc_crlf,
        "number.txt": " -0x1F",
        "plain.s19": srec,
        "high.s37": srec_high,
        "at-10008.bin": binary,
    }


def hex_text():
    # The first byte picks how the decoder's input is cut into pieces.
    return {
        "spaced": b"\x00" + b"0A 1B 2c 3D",
        "packed": b"\x05" + b"FE02AC0153FE0000E551",
        "stop": b"\x09" + b"01 02 zz 03",
        "odd": b"\x11" + b"0 12 3",
        "chinese": b"\x07" + "中文 test €".encode("utf-8"),
        "cp936": b"\x02" + "中文 test".encode("gbk") + b"\x80\x81\xff\xd6",
        "split-lead": b"\x03" + b"\xd6\xd0\xce\xc4\xd6",
    }


def settings():
    # Six choice bytes, then the file.
    plain = (b"[Ports]\r\nPort=COM3\r\nBaudRate=115200\r\n\r\n"
             b"[Terminal]\r\n; shown in hexadecimal\r\nHexShow=1\r\nUsedTimes=4\r\n")
    lf = b"[Ports]\nPort = /dev/ttyUSB0 \nport=COM9\n\n[Loader]\nFile=/home/user/fw.hex\nUsedTimes=0"
    bom = b"\xef\xbb\xbf[ports]\r\n  Port\t=\tCOM1\r\nEmpty=\r\n[Ports]\r\nPort=COM2\r\n"
    odd = b"key=before any section\n[]\n=no key\n[Ports\n[Ports]x\nA=1\n;B=2\n[Other]\r\nA=3"
    return {
        "plain": b"\x00\x01\x01\x02\x03\x00" + plain,
        "lf": b"\x02\x03\x04\x05\x06\x07" + lf,
        "bom": b"\x01\x02\x03\x03\x02\x01" + bom,
        "odd": b"\x03\x04\x05\x06\x07\xf0" + odd,
        "empty": b"\x00\x00\x00\x00\x00\x00",
    }


def sim_frames():
    # Eight header bytes (chunking seed, flags, configuration), then the stream.
    enter = bytes.fromhex("FE 02 AC 01 53 FE 00 00 E5 51")
    identify = iap_frame(0x03, [])
    query = iap_frame(0xE3, [])
    leave = iap_frame(0xEC, [0xFE, 0x53, 0x01, 0xAC])
    set_address = bytes.fromhex("C1 00 12 35 08")
    write_two = bytes.fromhex("C2 22 33 17")
    read = bytes.fromhex("CA 10 DA")
    session = (identify + enter + query + set_address + write_two + flash_frame(0xC3, 0x44) +
               set_address + read + leave)
    plain = bytes(8)
    return {
        "enter": plain + enter,
        "flash": plain + set_address + write_two + set_address + read,
        "session": bytes([7, 0, 1, 2, 3, 0, 0, 0]) + session,
        "noise": bytes([3, 0, 0, 0, 0, 0, 0, 0]) + b"\x00\xA5" + enter[:4] + b"\x55" + session,
        "needs-iap": bytes([1, 0x01, 1, 0, 0, 0, 0, 0x35]) + set_address + write_two + enter + set_address + write_two,
        "faults": bytes([9, 0x02 | 0x40, 0x02 | (4 << 3), 0x45, 0x07 | (5 << 3), 0x41, 0, 0]) + session + session,
        "status": bytes([2, 0x04 | 0x08, 0, 0, 0x07, 0xC9, 5, 0]) + session,
        "corrupt": bytes([4, 0x30, 0, 0, 0, 1, 0x77, 0x35]) + bytes.fromhex("C1 00 00 34 F5") +
                   flash_frame(0xC2, 1, 2) + flash_frame(0xC2, 3, 4) + bytes.fromhex("C1 00 00 34 F5") + flash_frame(0xCA, 8),
        "vanish": bytes([5, 0x02, 0x07 | (6 << 3), 0x40, 0, 0, 0, 0]) + session,
        "read-all": plain + flash_frame(0xC1, 0xFF, 0xFF, 0xF0) + flash_frame(0xCA, 0),
    }


def write(target, files):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, content in files.items():
        if isinstance(content, str):
            content = content.encode("latin-1")
        with open(os.path.join(folder, name), "wb") as out:
            out.write(content)


def main():
    write("fuzz_firmware_readers", readers())
    write("fuzz_hex_text", hex_text())
    write("fuzz_settings", settings())
    write("fuzz_sim_frames", sim_frames())
    return 0


if __name__ == "__main__":
    sys.exit(main())
