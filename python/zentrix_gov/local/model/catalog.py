"""The packaged models a judge can name: ``--judge local-model`` (the default model) or
``--judge local-model:NAME``.

A model joins the catalogue with its pinned parts and their sha256 (:class:`ModelInfo`)
and an extra of its own in ``pyproject.toml``; nothing else changes. The registry holds
no stronger model that runs here yet (``docs/local-model.md`` says what was tried), so
the catalogue has one.
"""

from __future__ import annotations

from zentrix_gov.local.model.files import MODEL, ModelInfo

PREFIX = "local-model"
MODELS: dict[str, ModelInfo] = {model.name: model for model in (MODEL,)}
DEFAULT = MODEL.name


class UnknownModel(ValueError):
    """A name the catalogue does not have; the message lists those it has."""


def is_local_model(judge: str | None) -> bool:
    """Whether ``judge`` (a ``--judge`` value) names a packaged model."""
    return judge is not None and (judge == PREFIX or judge.startswith(PREFIX + ":"))


def packaged_model(judge: str) -> ModelInfo:
    """The model ``judge`` names: ``local-model`` (the default) or ``local-model:NAME``."""
    _, _, name = judge.partition(":")
    model = MODELS.get(name or DEFAULT)
    if model is None:
        raise UnknownModel(
            f"no packaged model {name!r}; choose one of "
            + ", ".join(f"{PREFIX}:{known}" for known in MODELS)
        )
    return model
