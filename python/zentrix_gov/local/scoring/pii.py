"""Personal data: e-mail addresses, card numbers, IP addresses and phone numbers."""

from __future__ import annotations

import ipaddress
import re
from collections.abc import Callable
from typing import Any

from .common import Detection, span

_EMAIL_RE = re.compile(
    r"(?<![\w.%+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}\b"
)
_CARD_RE = re.compile(r"(?<![\d-])\d(?:[ -]?\d){12,18}(?!\d)")
_IPV4_RE = re.compile(r"(?<![\d.])(?:\d{1,3}\.){3}\d{1,3}(?!\.?\d)")
_IPV6_RE = re.compile(r"(?<![\w:])(?:[0-9A-Fa-f]{0,4}:){2,7}[0-9A-Fa-f]{0,4}(?![\w:])")
_PHONE_RE = re.compile(
    r"(?<![\w+])(?:\+\d{1,3}[ .-]?)?(?:\(\d{1,4}\)[ .-]?)?\d{2,4}(?:[ .-]?\d{2,4}){1,4}(?!\w)"
)
_NON_DIGIT_RE = re.compile(r"\D")

PII_SCORES = {
    "email_address": 0.99,
    "credit_card_number": 0.97,
    "ipv4_address": 0.93,
    "ipv6_address": 0.93,
    "phone_number": 0.85,
}


def luhn_valid(digits: str) -> bool:
    """Luhn checksum of a string of decimal digits."""
    total = 0
    for position, char in enumerate(reversed(digits)):
        value = ord(char) - 48
        if position % 2:
            value *= 2
            if value > 9:
                value -= 9
        total += value
    return total % 10 == 0


def _is_card(candidate: str) -> bool:
    digits = _NON_DIGIT_RE.sub("", candidate)
    return 13 <= len(digits) <= 19 and luhn_valid(digits)


def _is_ipv4(candidate: str) -> bool:
    try:
        ipaddress.IPv4Address(candidate)
    except ValueError:
        return False
    return True


def _is_ipv6(candidate: str) -> bool:
    if not any(c not in ":0" for c in candidate):
        return False  # "::" and friends are not worth reporting
    try:
        ipaddress.IPv6Address(candidate)
    except ValueError:
        return False
    return True


def _is_phone(candidate: str) -> bool:
    # At least nine digits keeps dates ("2023-10-25") and short numbers out.
    return 9 <= len(_NON_DIGIT_RE.sub("", candidate)) <= 15


# Earlier kinds win where matches overlap (a card number also looks like a phone number).
_PII_MATCHERS: tuple[tuple[str, re.Pattern[str], Callable[[str], bool] | None], ...] = (
    ("email_address", _EMAIL_RE, None),
    ("credit_card_number", _CARD_RE, _is_card),
    ("ipv4_address", _IPV4_RE, _is_ipv4),
    ("ipv6_address", _IPV6_RE, _is_ipv6),
    ("phone_number", _PHONE_RE, _is_phone),
)


def detect_pii(params: dict[str, Any], text: str) -> list[Detection]:
    """E-mail addresses, Luhn-valid card numbers, IPv4/IPv6 addresses and phone numbers."""
    taken: list[tuple[int, int]] = []
    found = []
    for kind, pattern, accept in _PII_MATCHERS:
        for match in pattern.finditer(text):
            start, end = match.span()
            if accept is not None and not accept(match.group()):
                continue
            if any(start < t_end and t_start < end for t_start, t_end in taken):
                continue
            taken.append((start, end))
            found.append(span("pii", kind, PII_SCORES[kind], text, start, end))
    found.sort(key=lambda d: d["start"])
    return found
