"""Encoding and checking of the server's word protocol.

Every message is a sequence of 32-bit words sent most significant byte first.
A request starts with five header words: magic, address bits 0..31, address
bits 32..63, payload length in words, options (bits 24..31 select the memory
type; 0 is physical memory). A response's magic is the request's with its
top half 0xda01 turned into 0xad01; READ and WRITE responses echo the rest of
the request header, a COMMAND response has zeros there but for the length of
its reply text.
"""

from __future__ import annotations

import struct
from typing import Iterable, Sequence

from .errors import ProtocolError

READ = 0xDA010001
WRITE = 0xDA010002
COMMAND = 0xDA010003
RESPONSE_OF = {READ: 0xAD010001, WRITE: 0xAD010002, COMMAND: 0xAD010003}

HEADER_WORDS = 5
HEADER_BYTES = 4 * HEADER_WORDS
WORD_MASK = 0xFFFFFFFF

# What the server can serve: one response pass holds 16384 words including
# the header, a request must fit into its 64 KiB receive ring, and command
# texts and replies have 32768-byte buffers with the terminating zero.
MAX_READ_WORDS = 16379
MAX_WRITE_WORDS = 16379
MAX_TEXT_WORDS = 8192
MAX_TEXT_BYTES = 4 * MAX_TEXT_WORDS - 1
MAX_ADDRESS = 2**64 - 1

# Command text is bytes on the wire; Latin-1 maps each byte to one character
# and back, so replies carrying raw data (EEPROM contents) survive decoding.
TEXT_ENCODING = "latin-1"


def words_to_bytes(words: Sequence[int]) -> bytes:
    return struct.pack(f">{len(words)}I", *words)


def bytes_to_words(data: bytes) -> list[int]:
    return list(struct.unpack(f">{len(data) // 4}I", data))


def pack_text(text: str) -> bytes:
    """Wire bytes of a zero-terminated text, four characters to a word.

    Character 4i+k sits in bits 8k..8k+7 of word i; as the word travels most
    significant byte first, each group of four characters appears reversed.
    """
    raw = text.encode(TEXT_ENCODING) + b"\0"
    raw += b"\0" * (-len(raw) % 4)
    return _swap_word_bytes(raw)


def _swap_word_bytes(data: bytes) -> bytes:
    """Each group of four bytes reversed (a batch of long texts is megabytes)."""
    return words_to_bytes(struct.unpack(f"<{len(data) // 4}I", data))


def unpack_text(data: bytes) -> str:
    """The text held in packed wire bytes, up to its terminating zero."""
    raw = _swap_word_bytes(data)
    end = raw.find(b"\0")
    if end < 0:
        raise ProtocolError("command reply text has no terminating zero")
    return raw[:end].decode(TEXT_ENCODING)


def check_address(addr: int, nwords: int) -> None:
    if not isinstance(addr, int) or addr < 0 or addr > MAX_ADDRESS:
        raise ValueError(f"address {addr!r} is not a 64-bit physical address")
    if addr % 4:
        raise ValueError(f"address 0x{addr:x} is not a multiple of 4")
    if addr + 4 * nwords - 1 > MAX_ADDRESS:
        raise ValueError(f"{nwords} words at 0x{addr:x} run past the end of the address space")


def check_count(nwords: int, limit: int, what: str) -> None:
    if not isinstance(nwords, int) or not 0 <= nwords <= limit:
        raise ValueError(f"{what} of {nwords!r} words: the server serves 0..{limit}")


def check_word(word: int) -> None:
    if not isinstance(word, int) or not 0 <= word <= WORD_MASK:
        raise ValueError(f"data word {word!r} is not a 32-bit unsigned value")


def header(magic: int, addr: int, length: int) -> bytes:
    return words_to_bytes((magic, addr & WORD_MASK, addr >> 32, length, 0))


def encode_read(addr: int, nwords: int) -> bytes:
    check_count(nwords, MAX_READ_WORDS, "READ")
    check_address(addr, nwords)
    return header(READ, addr, nwords)


def encode_write(addr: int, words: Iterable[int]) -> bytes:
    words = list(words)
    check_count(len(words), MAX_WRITE_WORDS, "WRITE")
    check_address(addr, len(words))
    for word in words:
        check_word(word)
    return header(WRITE, addr, len(words)) + words_to_bytes(words)


def encode_command(text: str) -> bytes:
    if not isinstance(text, str):
        raise ValueError(f"command text must be a str, not {type(text).__name__}")
    if "\0" in text:
        raise ValueError("command text must not contain a zero character")
    try:
        raw_len = len(text.encode(TEXT_ENCODING))
    except UnicodeEncodeError as err:
        raise ValueError(f"command text has a character outside Latin-1: {err.object[err.start]!r}") from None
    if raw_len > MAX_TEXT_BYTES:
        raise ValueError(f"command text of {raw_len} characters: the server takes at most {MAX_TEXT_BYTES}")
    body = pack_text(text)
    return header(COMMAND, 0, len(body) // 4) + body


def check_response_header(got: bytes, expected: bytes) -> None:
    """Check a response header against the request header it answers.

    READ and WRITE echo the request's address, length and options; COMMAND
    carries zeros there and its reply length, checked by the caller.
    """
    words = bytes_to_words(got)
    request = bytes_to_words(expected)
    magic = RESPONSE_OF[request[0]]
    if words[0] != magic:
        raise ProtocolError(f"response magic 0x{words[0]:08x}, expected 0x{magic:08x}")
    if request[0] == COMMAND:
        if words[1] or words[2] or words[4]:
            raise ProtocolError(f"command response header {_hex(words)} has non-zero reserved words")
        if not 1 <= words[3] <= MAX_TEXT_WORDS:
            raise ProtocolError(f"command reply length {words[3]} words, expected 1..{MAX_TEXT_WORDS}")
    elif words[1:] != request[1:]:
        raise ProtocolError(f"response header {_hex(words)} does not echo the request {_hex(request)}")


def _hex(words: Sequence[int]) -> str:
    return " ".join(f"0x{w:08x}" for w in words)
