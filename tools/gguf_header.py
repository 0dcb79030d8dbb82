"""What a GGUF model file says of itself, read from its header: enough to vet a packaged
model before downloading all of its parts.

    python tools/gguf_header.py FILE [--part-size BYTES]

FILE is a GGUF file or the first part of one (a part package's data file). Prints one
JSON object: the model's name, architecture, size label, quantisation, licence (the
``general.license`` key; none when the file names none), parameter count, the size in
bytes of the whole file the header describes, whether FILE is all of it, and how many
parts of ``--part-size`` bytes (default: FILE's own size) the whole file takes. Only the
header is read; nothing in the file is run.
"""

from __future__ import annotations

import argparse
import json
import struct
import sys
from pathlib import Path
from typing import Any, BinaryIO

MAGIC = b"GGUF"
# Metadata value types and their struct formats (8 is a string, 9 an array).
SCALARS = dict(zip((0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12), "BbHhIif?Qqd", strict=True))
STRING, ARRAY = 8, 9
# Tensor types: (values per block, bytes per block), for the types whose size is fixed.
BLOCKS = {
    0: (1, 4), 1: (1, 2), 2: (32, 18), 3: (32, 20), 6: (32, 22), 7: (32, 24), 8: (32, 34),
    9: (32, 36), 10: (256, 84), 11: (256, 110), 12: (256, 144), 13: (256, 176),
    14: (256, 210), 15: (256, 292), 30: (1, 2),
}  # fmt: skip
# general.file_type: how the file was quantised.
FILE_TYPES = {
    0: "F32", 1: "F16", 2: "Q4_0", 3: "Q4_1", 7: "Q8_0", 8: "Q5_0", 9: "Q5_1", 10: "Q2_K",
    11: "Q3_K_S", 12: "Q3_K_M", 13: "Q3_K_L", 14: "Q4_K_S", 15: "Q4_K_M", 16: "Q5_K_S",
    17: "Q5_K_M", 18: "Q6_K", 32: "BF16",
}  # fmt: skip
SHOWN_KEYS = {
    "general.name": "name",
    "general.architecture": "architecture",
    "general.size_label": "size_label",
    "general.license": "licence",
}


class NotGGUF(ValueError):
    """The file does not start with a GGUF header."""


def _read(handle: BinaryIO, form: str) -> Any:
    size = struct.calcsize("<" + form)
    data = handle.read(size)
    if len(data) != size:
        raise NotGGUF("the header ends early")
    return struct.unpack("<" + form, data)[0]


def _string(handle: BinaryIO) -> str:
    return handle.read(_read(handle, "Q")).decode("utf-8", "replace")


def _value(handle: BinaryIO, kind: int) -> Any:
    if kind == STRING:
        return _string(handle)
    if kind == ARRAY:
        item_kind, count = _read(handle, "I"), _read(handle, "Q")
        return [_value(handle, item_kind) for _ in range(count)]
    if kind not in SCALARS:
        raise NotGGUF(f"unknown metadata type {kind}")
    return _read(handle, SCALARS[kind])


def read_header(path: Path) -> dict[str, Any]:
    """The facts of the header of the GGUF file (or first part) at ``path``."""
    with path.open("rb") as handle:
        if handle.read(4) != MAGIC:
            raise NotGGUF(f"{path} is not a GGUF file")
        version, tensors, keys = _read(handle, "I"), _read(handle, "Q"), _read(handle, "Q")
        facts: dict[str, Any] = {"gguf_version": version, "licence": None}
        alignment = 32
        for _ in range(keys):
            key = _string(handle)
            value = _value(handle, _read(handle, "I"))
            if key in SHOWN_KEYS:
                facts[SHOWN_KEYS[key]] = value
            elif key == "general.file_type":
                facts["quantisation"] = FILE_TYPES.get(value, f"type {value}")
            elif key == "general.alignment":
                alignment = value
        parameters, end = 0, 0
        for _ in range(tensors):
            _string(handle)
            shape = [_read(handle, "Q") for _ in range(_read(handle, "I"))]
            kind, offset = _read(handle, "I"), _read(handle, "Q")
            count = 1
            for size in shape:
                count *= size
            parameters += count
            if kind not in BLOCKS or end is None:
                end = None  # a type whose size is not fixed: the file's size is not known
                continue
            per_block, block_bytes = BLOCKS[kind]
            end = max(end, offset + count // per_block * block_bytes)
        data_start = -(-handle.tell() // alignment) * alignment
    facts["parameters"] = parameters
    facts["file_size"] = None if end is None else data_start + end
    return facts


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", type=Path)
    parser.add_argument("--part-size", type=int, help="bytes of one part (default: FILE's)")
    args = parser.parse_args(argv)
    try:
        facts = read_header(args.file)
    except (OSError, NotGGUF) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    have = args.file.stat().st_size
    part = args.part_size or have
    whole = facts["file_size"]
    facts["complete"] = None if whole is None else have >= whole
    facts["parts_needed"] = None if whole is None else -(-whole // part)
    print(json.dumps(facts))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
