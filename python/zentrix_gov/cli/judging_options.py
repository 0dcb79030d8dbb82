"""``evaluate``'s options of judges you can measure: repeats, swapped options, a jury of
several ``--judge``, and the judges opened for them.

``--judge`` may be given several times: each is a juror. ``--judge-model`` names the model
of the ``--judge`` just before it (one given before any ``--judge`` belongs to the first),
so ``--judge local-model --judge https://host.example/v1 --judge-model NAME`` is a jury of
the local model and NAME. ``local`` and ``local-model`` need no model. A judge named twice
is started once: ``--judge local-model --judge local-model`` is a jury of one model over
two seeds.
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any

from zentrix_gov.cli.argtypes import positive_int, temperature
from zentrix_gov.cli.judge import check_judge_installed, open_judge

JUDGING_OPTIONS = (
    "judge_repeats",
    "judge_swap_options",
    "unstable",
    "jury",
    "jury_quorum",
    "judge_temperature",
)


def add_judging_options(parser: argparse.ArgumentParser) -> None:
    """Repeats, swapped options and the jury's rules."""
    parser.set_defaults(jurors=None)  # the --judge options given, each with its model
    group = parser.add_argument_group("judges you can measure (see also label_fields)")
    group.add_argument(
        "--judge-repeats",
        type=positive_int,
        metavar="N",
        help="ask each judge verdict N times with distinct seeds (at temperature 0.7 unless "
        "--judge-temperature says otherwise); a record's verdict is the majority option "
        "(a tie goes to the option of lower value) or the mean score (default 1)",
    )
    group.add_argument(
        "--judge-swap-options",
        action="store_true",
        help="ask criteria a second time with their options listed in reverse order; a "
        "record whose verdict changes is unstable",
    )
    group.add_argument(
        "--unstable",
        choices=("keep", "drop"),
        help="keep the verdicts of unstable records, or drop them: the record is then an "
        "error, UNSTABLE_VERDICT (default keep)",
    )
    group.add_argument(
        "--jury",
        choices=("majority", "mean", "median"),
        help="with several --judge: combine the jurors' verdicts by majority, mean or "
        "median (default: majority for criteria options, mean for scores)",
    )
    group.add_argument(
        "--jury-quorum",
        type=positive_int,
        metavar="K",
        help="with several --judge: a record has a verdict when at least K jurors gave one; "
        "below, it is an error, JURY_NO_QUORUM (default: a majority of the jurors)",
    )
    group.add_argument(
        "--judge-temperature",
        type=temperature,
        metavar="T",
        help="the judges' sampling temperature (default: the judge's own, 0.7 when one "
        "model is asked more than once per record)",
    )


def judging_from(args: argparse.Namespace) -> Any:
    """The ``Judging`` the options ask for; None when they ask nothing of the kind."""
    from zentrix_gov.cli.errors import UsageError
    from zentrix_gov.judging.settings import Judging

    given = {name: getattr(args, name, None) for name in JUDGING_OPTIONS}
    jurors = len(getattr(args, "jurors", None) or [])
    if all(value in (None, False) for value in given.values()) and jurors < 2:
        return None
    if jurors < 2 and (given["jury"] or given["jury_quorum"]):
        raise UsageError("--jury and --jury-quorum go with several --judge")
    if given["jury_quorum"] is not None and given["jury_quorum"] > jurors:
        raise UsageError(f"--jury-quorum {given['jury_quorum']} is more than the {jurors} jurors")
    return Judging(
        repeats=given["judge_repeats"] or 1,
        swap_options=bool(given["judge_swap_options"]),
        unstable=given["unstable"] or "keep",
        jury=given["jury"],
        quorum=given["jury_quorum"],
        temperature=given["judge_temperature"],
    )


def stored_jurors(args: argparse.Namespace) -> list[list[Any]] | None:
    """The jurors as the run stores them (URL or kind, and model; never a key)."""
    jurors = getattr(args, "jurors", None) or []
    return [list(juror) for juror in jurors] if len(jurors) > 1 else None


@contextmanager
def open_jury(args: argparse.Namespace, quiet: bool) -> Iterator[tuple[Any, list[Any]]]:
    """The run's judge and, with several ``--judge``, every juror (a judge named twice is
    opened once)."""
    jurors = getattr(args, "jurors", None) or []
    if len(jurors) < 2:
        with open_judge(args, quiet) as judge:
            yield judge, []
        return
    opened: dict[tuple[str, str | None], Any] = {}
    with ExitStack() as stack:
        for url, model in jurors:
            if (url, model) in opened:
                continue
            own = argparse.Namespace(**{**vars(args), "judge": url, "judge_model": model})
            check_judge_installed(own)
            opened[(url, model)] = stack.enter_context(open_judge(own, quiet))
        judges = [opened[(url, model)] for url, model in jurors]
        yield judges[0], judges
