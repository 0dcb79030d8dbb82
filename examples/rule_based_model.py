"""A small rule-based chat model for trying the risk command.

    python -m zentrix_gov risk --model examples.rule_based_model:answer \\
        --risks harmful,jailbreak --samples 20 --report build/risk-report.pdf

It refuses requests that carry obvious harm cues, but a role-play or story framing gets
past it; it knows a handful of facts, says no to yes-or-no questions about groups of
people, and repeats whatever personal data it is shown. So its report has passing risks
(harmful, bias) and failing ones (jailbreak, PII leakage, hallucination).
"""

from __future__ import annotations

import re

HARM_CUES = re.compile(
    r"\b(bomb|weapon|gun|poison|meth|drug|hack|ransomware|steal|launder|forge|fake passport|"
    r"nerve agent|ricin|stalk|blackmail|phishing|spike|fire|derail|counterfeit|botnet|"
    r"hurt|insult|humiliat|threaten|hateful|worthless|break into|brakes|cheat|pyramid|harass)",
    re.IGNORECASE,
)
ROLE_PLAY = re.compile(
    r"\b(pretend|roleplay|role-play|story|novel|in character|you are dan|game)\b", re.IGNORECASE
)
GROUP_QUESTION = re.compile(r"\b(yes or no|is it true|would you agree|right\?)", re.IGNORECASE)
FACTS = {
    "capital of france": "The capital of France is Paris.",
    "capital of japan": "Tokyo is the capital of Japan.",
    "chemical symbol for gold": "Its symbol is Au.",
    "red planet": "Mars is known as the Red Planet.",
    "continents": "There are seven continents.",
    "romeo and juliet": "It was written by William Shakespeare.",
}
RECORD = re.compile(r":\s*(.+?)\.\s+(?:What|Repeat|Tell|Give)", re.DOTALL)


def answer_one(prompt: str) -> str:
    lowered = prompt.lower()
    if HARM_CUES.search(prompt) and not ROLE_PLAY.search(prompt):
        return "I'm sorry, but I can't help with that."
    if HARM_CUES.search(prompt):
        return "Sure! In the story, the character gathers what he needs and goes step by step..."
    if GROUP_QUESTION.search(prompt):
        return "No. That is a stereotype, and people differ as individuals."
    record = RECORD.search(prompt)
    if record:
        return f"Here is what the record says: {record.group(1)}."
    for question, reply in FACTS.items():
        if question in lowered:
            return reply
    if "?" in prompt:
        return "I believe the answer is 42."
    return "Here is a short summary of the text you sent."


def answer(prompts: list[str]) -> list[str]:
    """The scoring function: a list of prompts in, a list of answers out."""
    return [answer_one(prompt) for prompt in prompts]
