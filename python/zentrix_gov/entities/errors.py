"""Exceptions raised by the metric providers and the model risk evaluation.

Each carries the data of its case as attributes and keeps the type that was raised before
it had its own (``Exception`` or ``ValueError``), so code that catches that type still
catches it.
"""

from __future__ import annotations

from typing import Any

__all__ = [
    "MetricComputationError",
    "ModelRiskArgumentsError",
    "ModelRiskError",
    "ModelRiskEvaluationError",
    "ModelRiskResultError",
    "NoJudgeResultsError",
    "ProjectOrSpaceRequiredError",
    "UnsupportedJudgeModelError",
    "UnsupportedModelIdError",
]


class MetricComputationError(Exception):
    """A provider's whole run for one metric failed.

    The message reads "Error while computing metrics: <metric>..." followed by
    the provider's own detail; ``metric_name`` names the metric and ``cause``
    (also ``__cause__``) is the error that ended the run.
    """

    def __init__(
        self, message: str, *, metric_name: str | None = None, cause: BaseException | None = None
    ):
        super().__init__(message)
        self.metric_name = metric_name
        self.cause = cause
        if cause is not None:
            self.__cause__ = cause


class UnsupportedJudgeModelError(Exception):
    """No inference engine serves this judge model.

    ``model_type`` is the type of the judge model record that was refused; when the judge
    providers' engine factory is asked for a provider key it does not know, ``model_type``
    is None and ``provider`` holds that key.
    """

    def __init__(
        self, message: str, *, model_type: type | None = None, provider: str | None = None
    ):
        super().__init__(message)
        self.model_type = model_type
        self.provider = provider


class ProjectOrSpaceRequiredError(Exception):
    """A judge model of the AI platform names neither a project id nor a space id.

    ``model`` is the foundation-model record.
    """

    def __init__(self, message: str, *, model: Any = None):
        super().__init__(message)
        self.model = model


class NoJudgeResultsError(Exception):
    """A criteria metric has neither a criteria description nor a prompt template.

    The judge is given nothing to answer; ``metric_name`` names the metric.
    """

    def __init__(self, message: str, *, metric_name: str | None = None):
        super().__init__(message)
        self.metric_name = metric_name


class ModelRiskError(Exception):
    """Evaluating a model's risks failed after its inputs were accepted.

    ``stage`` says where: "evaluate" (the risk plug-in's run), "report" (writing its PDF
    report) or "parse" (reading its result); ``cause`` (also ``__cause__``) is the error.
    """

    def __init__(
        self, message: str, *, stage: str = "evaluate", cause: BaseException | None = None
    ):
        super().__init__(message)
        self.stage = stage
        self.cause = cause
        if cause is not None:
            self.__cause__ = cause


class ModelRiskEvaluationError(ModelRiskError):
    """The risk plug-in failed while evaluating ("evaluate") or writing its report ("report")."""


class ModelRiskResultError(ModelRiskError, ValueError):
    """The risk plug-in's result is not the nested mapping it should be (stage "parse")."""


class ModelRiskArgumentsError(ValueError):
    """The risk plug-in refused the arguments it was built with (a ValueError of its
    constructor, ``cause``), such as a risk it does not know."""

    def __init__(self, message: str, *, cause: BaseException | None = None):
        super().__init__(message)
        self.cause = cause


class UnsupportedModelIdError(ValueError):
    """The AI platform does not offer the requested model.

    ``model_id`` is the requested id; ``available`` lists the ids the platform offers.
    """

    def __init__(self, message: str, *, model_id: Any = None, available: list[Any] | None = None):
        super().__init__(message)
        self.model_id = model_id
        self.available = available if available is not None else []
