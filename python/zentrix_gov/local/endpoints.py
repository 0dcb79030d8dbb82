"""The detection endpoints: their paths, the API version and which detectors each serves,
as the detector catalogue describes them."""

from __future__ import annotations

from zentrix_gov.entities.detector_catalog import API_VERSION, Endpoint, detectors_by_endpoint

__all__ = ["API_VERSION"]

PATH_TEXT = Endpoint.TEXT
PATH_GENERATED = Endpoint.GENERATED
PATH_CONTEXT = Endpoint.CONTEXT
PATH_CHAT = Endpoint.CHAT

ENDPOINT_DETECTORS = detectors_by_endpoint()
TEXT_DETECTORS = ENDPOINT_DETECTORS[PATH_TEXT]
GENERATED_DETECTORS = ENDPOINT_DETECTORS[PATH_GENERATED]
CONTEXT_DETECTORS = ENDPOINT_DETECTORS[PATH_CONTEXT]
CHAT_DETECTORS = ENDPOINT_DETECTORS[PATH_CHAT]
ALL_DETECTORS = TEXT_DETECTORS | GENERATED_DETECTORS | CONTEXT_DETECTORS | CHAT_DETECTORS
DETECTOR_PATHS = {
    name: path for path, names in ENDPOINT_DETECTORS.items() for name in sorted(names)
}
