"""The platform's catalogue of foundation models."""

from __future__ import annotations

from typing import Any

from zentrix_ai.client import APIClient

PATH_MODEL_SPECS = "/v1/foundation_model_specs"


class FoundationModelsManager:
    """Reads the catalogue of foundation models the platform offers."""

    def __init__(self, client: APIClient) -> None:
        self.client = client

    def get_model_specs(
        self, model_id: str | None = None, get_all: bool = False, limit: int | None = None
    ) -> dict[str, Any] | None:
        """The catalogue entry of ``model_id`` (None when the platform does not offer it), or,
        without a model id, the catalogue: ``{"resources": [...], "total_count": N}``.

        ``limit`` keeps the first entries of the catalogue; ``get_all`` returns all of them.
        """
        if model_id is not None:
            listing = self.client.get(PATH_MODEL_SPECS, params={"model_id": model_id})
            resources = _resources(listing)
            matching = [entry for entry in resources if entry.get("model_id") == model_id]
            return matching[0] if matching else None
        listing = self.client.get(PATH_MODEL_SPECS)
        if not get_all and limit is not None:
            resources = _resources(listing)[:limit]
            return {"resources": resources, "total_count": listing.get("total_count")}
        return listing

    def get_model_ids(self) -> list[str]:
        """The ids of every model the platform offers, in catalogue order."""
        return [entry["model_id"] for entry in _resources(self.get_model_specs(get_all=True))]


def _resources(listing: Any) -> list[dict[str, Any]]:
    if not isinstance(listing, dict) or not isinstance(listing.get("resources"), list):
        raise ValueError("The model catalogue reply has no 'resources' list.")
    return [entry for entry in listing["resources"] if isinstance(entry, dict)]
