"""The models the stand-in platform offers, read from ``catalogue.json`` next to this file.

Each entry has the public fields the model listing shows (model_id, label, provider,
short_description, tasks) and the name of the responder that answers for the model.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from importlib import resources
from typing import Any

PUBLIC_FIELDS = ("model_id", "label", "provider", "short_description", "tasks")
# Chat requests naming a model the catalogue does not hold are answered by the judge, so
# that any judge configuration (whatever model name it carries) can run against the service.
DEFAULT_RESPONDER = "judge"


@dataclass(frozen=True)
class CatalogueModel:
    model_id: str
    label: str
    provider: str
    short_description: str
    tasks: tuple[str, ...]
    responder: str

    def resource(self) -> dict[str, Any]:
        """The model as the listing shows it (without its responder)."""
        return {
            "model_id": self.model_id,
            "label": self.label,
            "provider": self.provider,
            "short_description": self.short_description,
            "tasks": list(self.tasks),
        }


class Catalogue:
    """An ordered, read-only set of models, looked up by id."""

    def __init__(self, models: list[CatalogueModel]):
        self._models = {model.model_id: model for model in models}
        if len(self._models) != len(models):
            raise ValueError("The catalogue lists a model id twice.")

    @classmethod
    def from_entries(cls, entries: list[dict[str, Any]]) -> Catalogue:
        models = []
        for entry in entries:
            missing = [name for name in (*PUBLIC_FIELDS, "responder") if name not in entry]
            if missing:
                raise ValueError(f"Catalogue entry {entry!r} lacks {', '.join(missing)}.")
            models.append(
                CatalogueModel(
                    model_id=str(entry["model_id"]),
                    label=str(entry["label"]),
                    provider=str(entry["provider"]),
                    short_description=str(entry["short_description"]),
                    tasks=tuple(str(task) for task in entry["tasks"]),
                    responder=str(entry["responder"]),
                )
            )
        return cls(models)

    @classmethod
    def bundled(cls) -> Catalogue:
        """The catalogue shipped with the package."""
        text = resources.files(__package__).joinpath("catalogue.json").read_text("utf-8")
        return cls.from_entries(json.loads(text)["models"])

    def get(self, model_id: str) -> CatalogueModel | None:
        return self._models.get(model_id)

    def responder_for(self, model_id: str) -> str:
        """The responder answering chat requests for ``model_id`` (the judge for unknown ids)."""
        model = self._models.get(model_id)
        return model.responder if model is not None else DEFAULT_RESPONDER

    def __iter__(self):
        return iter(self._models.values())

    def __len__(self) -> int:
        return len(self._models)

    def __contains__(self, model_id: object) -> bool:
        return model_id in self._models
