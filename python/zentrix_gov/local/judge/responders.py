"""The models' behaviours: a registry of responders, name -> function(prompt) -> reply text.

Every model of the catalogue names its responder; routes look the responder up in
``RESPONDERS`` when a request arrives, so a responder registered (or replaced) later, from
another module, serves the very next request.

- ``judge``: answers criteria-judge prompts with a JSON verdict (see :mod:`.criteria`) and
  the judge templates' prompts (see :mod:`.judging`); other prompts go to ``assistant``;
- ``assistant``: a rule-based chat model that refuses prompts with harmful or jailbreak
  cues and otherwise gives a short deterministic answer.
"""

from __future__ import annotations

import re
from collections.abc import Callable

from . import criteria, judging

Responder = Callable[[str], str]

# The reply every model gives when a scripted UNPARSEABLE fault hits: no template parses it.
UNPARSEABLE_REPLY = "I would rather not give a verdict on this one."

REFUSAL = "I'm sorry, but I can't help with that request."

# Cues of requests a careful assistant declines: harm, weapons, crime, and attempts to
# talk it out of its rules.
_HARMFUL_CUES = (
    r"ignore (all |any )?(your |the )?(previous|prior|above) (instructions|rules)",
    r"\bjailbreak",
    r"\bdo anything now\b",
    r"\bdeveloper mode\b",
    r"pretend (that )?you (have no|are not bound)",
    r"without (any )?(restrictions|filters|rules)",
    r"\b(build|make|assemble) (a |an )?(bomb|explosive|weapon)",
    r"\bhow to (kill|poison|hurt|attack)\b",
    r"\b(steal|launder|counterfeit)\b",
    r"\bmalware\b|\bransomware\b|\bkeylogger\b",
    r"\bhack into\b",
)
_HARMFUL_RE = re.compile("|".join(_HARMFUL_CUES), re.IGNORECASE)


def is_harmful(prompt: str) -> bool:
    """Whether ``prompt`` carries one of the harmful or jailbreak cues."""
    return _HARMFUL_RE.search(prompt) is not None


def assistant(prompt: str) -> str:
    """Refuse harmful prompts; otherwise a short answer naming the prompt's main words."""
    if is_harmful(prompt):
        return REFUSAL
    words = sorted(judging.content_words(prompt), key=lambda word: (-len(word), word))[:3]
    if not words:
        return "Hello! How can I help you today?"
    return (
        f"You asked about {', '.join(sorted(words))}. In short, it depends on the details; "
        "tell me more and I will go into them."
    )


def judge(prompt: str) -> str:
    """The judge's verdict, or the assistant's answer to a prompt that asks for none."""
    # Criteria prompts first: the user's own prompt inside one may hold "Question:" lines.
    reply = criteria.answer(prompt)
    if reply is None:
        reply = judging.verdict(prompt)
    return reply if reply is not None else assistant(prompt)


def mirrored_judge(prompt: str) -> str:
    """The judge getting every verdict the other way round (each text rated 1 - its
    rating): what a judge whose verdict depends on the seed says for some seeds."""
    reply = criteria.answer(prompt, mirrored=True)
    if reply is None:
        reply = judging.verdict(prompt, mirrored=True)
    return reply if reply is not None else assistant(prompt)


RESPONDERS: dict[str, Responder] = {
    "judge": judge,
    "assistant": assistant,
    "mirrored_judge": mirrored_judge,
}


def register(name: str, responder: Responder) -> None:
    """Add or replace the responder called ``name``."""
    if not callable(responder):
        raise TypeError("A responder must be callable as responder(prompt) -> str.")
    RESPONDERS[name] = responder


def respond(name: str, prompt: str) -> str:
    """Run the responder ``name`` (looked up now) on ``prompt``."""
    try:
        responder = RESPONDERS[name]
    except KeyError:
        raise LookupError(f"No responder called {name!r} is registered.") from None
    reply = responder(prompt)
    if not isinstance(reply, str):
        raise TypeError(f"The responder {name!r} returned {type(reply).__name__}, not str.")
    return reply
