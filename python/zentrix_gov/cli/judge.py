"""The judge of template-library metrics and criteria: an OpenAI-compatible endpoint, or a
local one.

``--judge URL`` (or ``ZENTRIX_JUDGE_URL``) names the endpoint's base URL (``.../v1``), with
``--judge-model`` (or ``ZENTRIX_JUDGE_MODEL``) and the key in ``ZENTRIX_JUDGE_API_KEY`` (or
``OPENAI_API_KEY``); the key is never taken from the command line, where other users of
the machine could read it. ``--judge local`` starts the local judge service for the run,
``--judge local-model`` the default packaged model (the ``local-model`` extra),
``--judge local-model:NAME`` another one of ``local.model.catalog``.
``--rag-method`` sets the method of every template-library metric, over the methods the
config file names.

The command line's judges are asked by the SDK's own engine (``LLMJudge.request_options``):
criteria verdicts with their JSON schema as ``response_format`` (``--judge-structured off``
for servers that refuse it), every answer capped (``--judge-max-tokens``), every verdict
bounded by ``--timeout`` (retries included; ``LOCAL_MODEL_TIMEOUT`` for the local model
unless given), at most ``--max-concurrency`` requests at once over the whole run (for the
local model: its slots) and, with ``--judge-rps``, at most that many a second.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from zentrix_gov.cli.argtypes import positive_int, positive_number
from zentrix_gov.cli.constants import DEFAULT_TIMEOUT, LOCAL_MODEL_TIMEOUT
from zentrix_gov.cli.errors import UsageError
from zentrix_gov.local.model.catalog import is_local_model
from zentrix_gov.utils.environment import DEFAULT_MAX_CONCURRENCY


@dataclass(frozen=True)
class JudgeKind:
    """A judge ``--judge`` names by a word instead of a URL, and what it needs installed."""

    name: str
    summary: str
    extra: str | None = None  # the zentrix-gov extra that installs what it needs
    modules: tuple[str, ...] = ()


# The judges started for the run: the one table that lists them and what they need.
JUDGE_KINDS = {
    kind.name: kind
    for kind in (
        JudgeKind("local", "the local judge service, a deterministic stand-in"),
        JudgeKind("local-model", "the packaged local model", "local-model", ("xllamacpp",)),
    )
}
URL_VARIABLE = "ZENTRIX_JUDGE_URL"
MODEL_VARIABLE = "ZENTRIX_JUDGE_MODEL"
KEY_VARIABLES = ("ZENTRIX_JUDGE_API_KEY", "OPENAI_API_KEY")
LOCAL = "local"
LOCAL_MODEL = "judge"
REAL_LOCAL_MODEL = "local-model"
DEFAULT_JUDGE_MAX_TOKENS = 1024
# Seconds a verdict of the local model (and an answer of it under risk) gets unless
# --timeout says otherwise: on 2 cores with the other core busy a criteria verdict takes
# over a minute (bench/local_model_load.py), and an answer cut at the cap several.


class JudgeAction(argparse.Action):
    """``--judge URL``: one more juror; the first is the run's judge (``args.judge``)."""

    def __call__(self, parser: Any, namespace: Any, values: Any, option: Any = None) -> None:
        jurors = list(getattr(namespace, "jurors", None) or [])
        model = None
        if not jurors and getattr(namespace, "judge_model", None) is not None:
            model = namespace.judge_model  # given before any --judge: the first judge's
        jurors.append([values, model])
        namespace.jurors = jurors
        namespace.judge = jurors[0][0]


class JudgeModelAction(argparse.Action):
    """``--judge-model NAME``: the model of the ``--judge`` just before it."""

    def __call__(self, parser: Any, namespace: Any, values: Any, option: Any = None) -> None:
        jurors = getattr(namespace, "jurors", None) or []
        if jurors:
            jurors[-1][1] = values
        if len(jurors) <= 1:
            namespace.judge_model = values


def add_judge_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--judge",
        metavar="URL",
        action=JudgeAction,
        help="OpenAI-compatible base URL of the judge of llm_as_judge metrics and criteria, or "
        "'local' to "
        f"start the local judge service for the run, 'local-model' to start the local model "
        f"(the local-model extra), 'local-model:NAME' a packaged model by name "
        f"(default: ${URL_VARIABLE}). Given several times: a jury, each --judge a juror "
        "(see --jury)",
    )
    parser.add_argument(
        "--judge-model",
        metavar="NAME",
        action=JudgeModelAction,
        help=f"the judge's model name (default: ${MODEL_VARIABLE}); with several --judge, "
        "the model of the --judge just before it",
    )
    parser.add_argument(
        "--judge-structured",
        choices=("on", "off"),
        help="ask criteria judges for answers in their JSON schema (response_format); 'off' "
        "for servers that refuse it (default: on; a server that answers 400 to it is asked "
        "without it)",
    )
    parser.add_argument(
        "--judge-max-tokens",
        type=positive_int,
        metavar="N",
        help=f"cap every judge answer at N tokens (default {DEFAULT_JUDGE_MAX_TOKENS})",
    )
    parser.add_argument(
        "--judge-rps",
        type=positive_number,
        metavar="R",
        help="send at most R judge requests per second (default: no limit; at most "
        "--max-concurrency at once)",
    )
    parser.add_argument(
        "--rag-method",
        metavar="METHOD",
        help="method of the rag_* and answer_correctness metrics: token overlap (the default), "
        "sentence_bert_mini_lm or llm_as_judge; overrides the methods of the config file",
    )


def judge_for(url: str, api_key: str, model: str, options: Any = None) -> Any:
    """A judge record for the OpenAI-compatible endpoint at ``url``, asked with ``options``
    (a ``JudgeRequestOptions``; None: the judge libraries' own engines)."""
    from zentrix_gov.entities.credentials import OpenAICredentials
    from zentrix_gov.entities.enums import ModelProviderType
    from zentrix_gov.entities.foundation_model import ModelProvider, OpenAIFoundationModel
    from zentrix_gov.entities.llm_judge import LLMJudge

    credentials = OpenAICredentials(api_key=api_key, api_url=url)
    provider = ModelProvider(type=ModelProviderType.OPENAI, credentials=credentials)
    return LLMJudge(
        model=OpenAIFoundationModel(model_id=model, provider=provider), request_options=options
    )


def request_options(
    args: argparse.Namespace, max_parallel: int | None = None, timeout: float | None = None
) -> Any:
    """How the command line's judges are asked: from --judge-structured, --judge-max-tokens,
    --timeout (0: no limit; not given: ``timeout``, else the command's default),
    --max-concurrency (or ``max_parallel``, when lower) and --judge-rps."""
    from zentrix_gov.entities.llm_judge import JudgeRequestOptions

    parallel = getattr(args, "max_concurrency", None) or DEFAULT_MAX_CONCURRENCY
    if max_parallel is not None:
        parallel = min(parallel, max_parallel)
    given = getattr(args, "timeout", None)
    if given is None:
        given = timeout or DEFAULT_TIMEOUT
    return JudgeRequestOptions(
        structured=getattr(args, "judge_structured", "on") != "off",
        max_tokens=getattr(args, "judge_max_tokens", None) or DEFAULT_JUDGE_MAX_TOKENS,
        timeout=given or None,
        max_parallel=parallel,
        requests_per_second=getattr(args, "judge_rps", None),
        adaptive=not getattr(args, "judge_fixed_concurrency", False),
    )


def judge_url(args: argparse.Namespace) -> str | None:
    """The judge's URL (or "local") named by the options or the environment, if any."""
    return args.judge or os.environ.get(URL_VARIABLE) or None


@contextmanager
def open_judge(args: argparse.Namespace, quiet: bool = False) -> Iterator[Any]:
    """The judge named by the options or the environment (None when there is none)."""
    url = judge_url(args)
    model = args.judge_model or os.environ.get(MODEL_VARIABLE)
    if not url:
        yield None
        return
    if url == LOCAL:
        from zentrix_gov.cli.local_services import judge_service

        with judge_service() as server:
            if not quiet:
                print(
                    f"note: judging with the local judge service at {server.url}",
                    file=sys.stderr,
                    flush=True,
                )
            base = server.url.rstrip("/") + "/v1"
            yield judge_for(base, server.token, model or LOCAL_MODEL, request_options(args))
        return
    if is_local_model(url):
        from zentrix_gov.cli.local_services import local_model_server

        with local_model_server(quiet, model=named_model(url)) as server:
            # At most as many requests as the model has slots, over every unit of the run.
            options = request_options(
                args, max_parallel=server.settings.slots, timeout=LOCAL_MODEL_TIMEOUT
            )
            yield judge_for(server.base_url, server.key, server.model_name, options)
        return
    api_key = next((os.environ[v] for v in KEY_VARIABLES if os.environ.get(v)), None)
    if not api_key:
        raise UsageError(f"--judge {url} needs an API key: set {KEY_VARIABLES[0]}")
    if not model:
        raise UsageError(f"--judge {url} needs a model: give --judge-model or set {MODEL_VARIABLE}")
    yield judge_for(url, api_key, model, request_options(args))


@contextmanager
def quiet_progress_bars(quiet: bool) -> Iterator[None]:
    """With ``-q``, silence the progress bars unitxt and the model libraries draw (tqdm),
    their log lines below errors (unitxt warns about model names it has no entry for) and
    the SDK's notes."""
    if not quiet:
        yield
        return
    from zentrix_gov.utils.notices import quiet_notes

    set_here = "TQDM_DISABLE" not in os.environ
    if set_here:
        os.environ["TQDM_DISABLE"] = "1"
    logging.disable(logging.WARNING)
    try:
        with quiet_notes():
            yield
    finally:
        logging.disable(logging.NOTSET)
        if set_here:
            os.environ.pop("TQDM_DISABLE", None)


def apply_rag_method(metrics: Sequence[Any], method: str | None) -> None:
    """Give ``method`` (when set) to every template-library metric, and check the methods."""
    from zentrix_gov.metrics.rag import RagMetric

    for metric in metrics:
        if not isinstance(metric, RagMetric):
            continue
        if method is not None:
            metric.method = method
        if metric.method not in metric.info.methods:
            raise UsageError(
                f"metric {metric.info.command_name!r}: unknown method {metric.method!r}; "
                f"choose one of {', '.join(metric.info.methods)}"
            )


def check_judge_installed(args: argparse.Namespace) -> None:
    """A judge of ``JUDGE_KINDS`` whose extra is missing is refused before any request,
    naming the install command."""
    import importlib.util

    url = judge_url(args) or ""
    kind = JUDGE_KINDS.get(REAL_LOCAL_MODEL if is_local_model(url) else url)
    if kind is None or kind.extra is None:
        return
    extra, modules = kind.extra, kind.modules
    if is_local_model(url):
        model = named_model(url)
        extra, modules = model.extra, (*modules, *model.part_packages)
    missing = [module for module in modules if importlib.util.find_spec(module) is None]
    if missing:
        more = len(missing) - 3
        shown = ", ".join(missing[:3]) + (f" and {more} more" if more > 0 else "")
        raise UsageError(
            f"--judge {url} ({kind.summary}) needs {shown}: pip install 'zentrix-gov[{extra}]'"
        )


def named_model(url: str) -> Any:
    """The packaged model of ``--judge local-model[:NAME]``; an unknown name is refused."""
    from zentrix_gov.local.model.catalog import UnknownModel, packaged_model

    try:
        return packaged_model(url)
    except UnknownModel as exc:
        raise UsageError(f"--judge {url}: {exc}") from None


def check_judges(metrics: Sequence[Any], args: argparse.Namespace) -> None:
    """Judge metrics need a judge; checked before any service is started."""
    from zentrix_gov.metrics.criteria import CriteriaMetric
    from zentrix_gov.metrics.problems import echo
    from zentrix_gov.metrics.rag import JUDGE, RagMetric

    if judge_url(args):
        return
    for metric in metrics:
        if isinstance(metric, RagMetric) and metric.method == JUDGE:
            raise UsageError(
                f"metric {metric.info.command_name!r} with method {JUDGE} needs a judge: give "
                f"--judge URL (or --judge local), or set {URL_VARIABLE}"
            )
        if isinstance(metric, CriteriaMetric) and metric.llm_judge is None:
            raise UsageError(
                f"criterion {echo(metric.name)} is judged by an LLM and needs a judge: give "
                f"--judge URL (or --judge local), or set {URL_VARIABLE}"
            )
