"""Judges you can measure: human labels stored with a run, agreement with them, and judge
verdicts asked several times (repeats, swapped options, juries).

- :mod:`.settings`: :class:`Judging` (how verdicts are asked) and the variants of a judge
  metric;
- :mod:`.labels`: ``label_fields`` and the check of labels before any request;
- :mod:`.units` / :mod:`.combine` / :mod:`.verdicts`: a unit asking every variant, a
  record's verdict from its variants, and what the store keeps of them;
- :mod:`.summary`: stability, flip rate and the jurors' agreement per metric;
- :mod:`.agreement` / :mod:`.figures` / :mod:`.stats`: agreement with the labels, with
  seeded paired-bootstrap intervals.
"""

from __future__ import annotations

from zentrix_gov.utils.lazy_exports import lazy_exports

__all__ = ["Agreement", "Judging", "run_agreement"]

_EXPORTS = {
    "Agreement": "zentrix_gov.judging.agreement",
    "Judging": "zentrix_gov.judging.settings",
    "run_agreement": "zentrix_gov.judging.agreement",
}

__getattr__ = lazy_exports(__name__, _EXPORTS)
