"""Exceptions raised by metric providers."""

from __future__ import annotations


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
