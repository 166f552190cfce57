#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: healthy exchanges, one file each.

Run from anywhere: python3 fuzz/make_corpus.py. The output is the same every time; the
layout of each target's input is described at the top of its source.
"""
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"
SILENCE = [0, 1, 8, 400]


def chunk(data, silence=0):
    """One arrival of 1 to 64 bytes, after `silence` empty reads (0, 1, 8 or 400)."""
    assert 1 <= len(data) <= 64
    return bytes([SILENCE.index(silence) << 6 | (len(data) - 1)]) + bytes(data)


def chunks(data, size, silence=0):
    return b"".join(chunk(data[i:i + size], silence) for i in range(0, len(data), size))


def word16(value):
    return (value & 0xFFFF).to_bytes(2, "big")


def flash_block(address):
    return bytes((address + i) * 37 & 0xFF for i in range(64))


def image_block(length, address):
    """The run target's image, byte i = (i * 7 + 1) & 0xFF, padded with zeros."""
    return bytes((i * 7 + 1) & 0xFF if i < length else 0 for i in range(address, address + 64))


def connected(reply=(0x5A, 0xFD)):
    """Nothing to drain (two empty reads end it), the flash-mode reply, then the answer to
    the first sync byte."""
    return chunk(reply, silence=8) + chunk([0x55])


def read_answer(block):
    return chunk([0]) + chunks(block, 8, silence=1)


def bootloader_area(reads):
    """The eight blocks above 0x1DFF, each read `reads` times."""
    return b"".join(read_answer(flash_block(a)) * reads for a in range(0x1E00, 0x2000, 64))


def programmed(length, wrong_first=False):
    """Verified: the bootloader area read twice, every block erased and written twice, read
    back (the first one twice wrong, programmed again and read again, then all a second
    time), the bootloader area once more, the exit."""
    addresses = range(0, (min(length, 7680) + 63) // 64 * 64, 64)
    script = bootloader_area(2) + b"".join(chunks([0] * 3, 1) for _ in addresses)
    check = b"".join(read_answer(image_block(length, a)) for a in addresses)
    if wrong_first:
        block = image_block(length, 0)
        wrong = bytes([block[0] ^ 0xFF]) + block[1:]
        script += read_answer(wrong) * 2 + chunks([0] * 3, 1) + check + check
    else:
        script += check
    return script + bootloader_area(1) + chunk([0])


def version_reply(version):
    """The same reply to two requests."""
    return chunk([0x5A, 0x00, version >> 8, version & 0xFF]) * 2


def running(version=0x100):
    """After the exit, the firmware answers the version asked of it twice."""
    return version_reply(version)


def run_seeds():
    readout = b"".join(read_answer(flash_block(a)) * 2 for a in range(0, 8192, 64))
    return {
        "read_out": bytes([1]) + word16(0) + word16(0) + connected() + readout + chunk([0]),
        "write_two_blocks": bytes([0]) + word16(80) + word16(0) + connected() + programmed(80)
        + running(),
        "write_unverified": bytes([4]) + word16(64) + word16(0) + connected()
        + chunks([0] * 4, 1) + chunk(flash_block(0)) + chunk([0]),
        "write_retried_after_a_verify_error": bytes([0]) + word16(64) + word16(0)
        + connected((0xFF, 0xFF)) + programmed(64, wrong_first=True) + running(),
        "write_current_panel": bytes([0]) + word16(64) + word16(0x105) + version_reply(0x105),
        "write_older_panel": bytes([0]) + word16(64) + word16(0x105)
        + chunks([0x5A, 0x00, 0x01, 0x04], 2, silence=1) * 2 + connected()
        + read_answer(flash_block(0)) + programmed(64) + running(0x105),
        "version": bytes([2]) + word16(0) + word16(0) + version_reply(0x105),
        "compare_held": bytes([3]) + word16(80) + word16(0) + connected()
        + read_answer(image_block(80, 0)) + read_answer(image_block(80, 64)) + chunk([0]),
        "write_only_differing": bytes([16]) + word16(80) + word16(0) + connected()
        + read_answer(image_block(80, 0)) + read_answer(flash_block(64)) + bootloader_area(2)
        + chunks([0] * 3, 1) + read_answer(image_block(80, 0))
        + read_answer(image_block(80, 64)) + bootloader_area(1) + chunk([0]) + running(),
    }


def ihex(*body):
    """An Intel HEX record of count, address, type and data, with its checksum."""
    return b":%s%02X\r\n" % (bytes(body).hex().upper().encode(), -sum(body) & 0xFF)


def srec(kind, *body):
    """An S-record of type `kind` with count, address and data, with its checksum."""
    return b"S%d%s%02X\n" % (kind, bytes(body).hex().encode(), ~sum(body) & 0xFF)


def record_seeds():
    return {
        "every_intel_type": ihex(2, 0, 0, 2, 0x01, 0x00) + ihex(2, 0, 0x10, 0, 0xA1, 0xA2)
        + ihex(4, 0, 0, 3, 0, 0, 1, 0) + ihex(2, 0, 0, 4, 0, 0) + ihex(1, 0x1E, 0, 0, 0x33)
        + ihex(4, 0, 0, 5, 0, 0, 1, 0) + ihex(0, 0, 0, 1),
        "every_s_type": srec(0, 5, 0, 0, 0x68, 0x69) + srec(1, 4, 0, 0x10, 7)
        + srec(2, 5, 0, 0x1E, 0, 8) + srec(3, 6, 0, 0, 0x7F, 0xFF, 9) + srec(5, 3, 0, 3)
        + srec(6, 4, 0, 0, 3) + srec(9, 3, 0, 0),
        "s7_end_and_empty_lines": srec(1, 4, 0, 0, 1) + b"\n" + srec(7, 5, 0, 0, 0, 0) + b"\n",
    }


def main():
    seeds = {
        "fuzz_frame": {
            "version_reply": bytes([0, 3]) + chunk([0x5A, 0x00, 0x01, 0x05]),
            "frames_among_noise": bytes([2, 3]) + chunk([0x13, 0x5A, 0x7E])
            + chunk([0x5A, 0xF1, 1, 2, 3, 4]) + chunk([0x5A, 0x0B, 1, 2], silence=8)
            + chunk([3, 4, 5, 6, 7]),
            "query_older": bytes([1]) + word16(0x105)
            + chunks([0x5A, 0x00, 0x01, 0x04], 2, silence=1) * 2,
            "query_silent_panel": bytes([1]) + word16(0x105),
        },
        "fuzz_reading": {
            "block_in_fifo_loads": bytes([0, 32]) + chunks(flash_block(0x40), 8, silence=1),
            "flash_mode_reply": bytes([0, 1]) + chunk([0x5A, 0xFD]),
            "ack_after_noise": bytes([1, 0, 0x00]) + chunk([0x13]) + chunk([0x00], silence=1),
            "block_until_quiet": bytes([4, 32]) + chunks(flash_block(0x40), 1, silence=8),
        },
        "fuzz_run": run_seeds(),
        "fuzz_records": record_seeds(),
        "fuzz_options": {
            "write": b"panelflash\0-w\0image.bin",
            "write_checked_unverified": b"panelflash\0-v\0-c\x00105\0-w\0image.bin",
            "trace_read_out": b"panelflash\0-t\0-r\0dump.bin",
            "version": b"panelflash\0-i",
            "every_panel": b"panelflash\0-c\0-1\0-w\0image.bin",
            "invalid_version": b"panelflash\0-c\0zz\0-w\0image.bin",
            "help": b"panelflash\0-h",
        },
    }
    for target, files in seeds.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
