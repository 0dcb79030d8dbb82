"""Base record of every metric."""

from __future__ import annotations

import asyncio
import functools
import importlib
from typing import Any, ClassVar

from pydantic import BaseModel, ConfigDict, model_validator

from zentrix_gov.entities.enums import MetricGroup
from zentrix_gov.entities.metric_threshold import MetricThreshold


class GenAIMetric(BaseModel):
    """A metric definition.

    A metric computed by a provider names it in ``provider_path`` and builds it in
    :meth:`build_provider`; :meth:`evaluate` and :meth:`evaluate_async` then run it. Other
    subclasses implement :meth:`evaluate`; :meth:`evaluate_async` runs it on a worker
    thread.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    # The provider class computing the metric, as "module:Class". It is imported when the
    # metric is evaluated, never when it is defined, and looked up on its module every
    # time, so that patching the module attribute takes effect.
    provider_path: ClassVar[str] = ""
    # Whether the provider's ``evaluate`` needs an event loop of its own on the calling
    # thread: model clients ask the thread for its loop. A provider that runs its own loop
    # does not.
    provider_needs_own_loop: ClassVar[bool] = True

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

    @classmethod
    def provider_class(cls) -> type:
        """The class named by ``provider_path``, imported now."""
        module, _, name = cls.provider_path.partition(":")
        return getattr(importlib.import_module(module), name)

    def build_provider(self, frame: Any, configuration: Any, api_client: Any) -> Any:
        """The provider computing this metric over the records ``frame`` (a DataFrame)."""
        raise NotImplementedError(
            f"Metric {self.name!r} ({type(self).__name__}) names no provider."
        )

    def evaluate(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """Compute the metric over ``data`` and return one result record (or None)."""
        if not self.provider_path:
            raise NotImplementedError(
                f"Metric {self.name!r} ({type(self).__name__}) does not implement evaluate()."
            )
        # Imported here: neither is needed to define or validate metrics.
        from zentrix_gov.utils.async_util import run_with_own_loop
        from zentrix_gov.utils.python_utils import records_frame

        frame = records_frame(data)
        provider = self.build_provider(frame, configuration, api_client)
        if self.provider_needs_own_loop:
            return run_with_own_loop(provider.evaluate, frame)
        return provider.evaluate(frame)

    async def evaluate_async(
        self,
        data: Any,
        configuration: Any,
        api_client: Any = None,
        metrics_result: list[Any] | None = None,
        **kwargs: Any,
    ) -> Any:
        """As :meth:`evaluate`, without blocking the running loop: the provider's own
        ``evaluate_async``, or :meth:`evaluate` on the loop's default executor."""
        from zentrix_gov.utils.async_util import start_event_loop_run_func

        if self.provider_path:
            from zentrix_gov.utils.python_utils import records_frame

            frame = records_frame(data)
            provider = self.build_provider(frame, configuration, api_client)
            return await provider.evaluate_async(frame)
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
