"""Base record of every metric."""

from __future__ import annotations

import asyncio
import functools
from typing import Any

from pydantic import BaseModel, ConfigDict, model_validator

from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.metric_threshold import MetricThreshold


class GenAIMetric(BaseModel):
    """A metric definition.

    Subclasses implement :meth:`evaluate`; :meth:`evaluate_async` runs it on a worker thread
    unless a subclass provides a native asynchronous implementation.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    name: str
    display_name: str = ""
    method: str | None = None
    group: MetricGroup | None = None
    thresholds: list[MetricThreshold] = []
    metric_dependencies: list[GenAIMetric] = []

    @model_validator(mode="after")
    def _default_display_name(self) -> GenAIMetric:
        if not self.display_name:
            self.display_name = self.name.replace("_", " ").title()
        return self

    def evaluate(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """Compute the metric over ``data`` and return one result record (or None)."""
        raise NotImplementedError(
            f"Metric {self.name!r} ({type(self).__name__}) does not implement evaluate()."
        )

    async def evaluate_async(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """Run :meth:`evaluate` on the running loop's default executor."""
        # Imported here: the async helpers are not needed to define or validate metrics.
        from zentrix_gov.utils.async_util import start_event_loop_run_func

        loop = asyncio.get_running_loop()
        call = functools.partial(
            start_event_loop_run_func,
            self.evaluate,
            data=data,
            configuration=configuration,
            api_client=api_client,
            metrics_result=metrics_result,
            **kwargs,
        )
        return await loop.run_in_executor(None, call)

    def __hash__(self) -> int:
        # Metrics are identified by name throughout the SDK.
        return hash((type(self).__name__, self.name, self.method))
