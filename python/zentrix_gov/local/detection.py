"""A local text-detection service, for tests, benchmarks and demos.

It answers the four detection endpoints of the machine-learning platform. The pieces live
in their own modules; this one gathers the names callers use and runs the command line::

    python -m zentrix_gov.local.detection --port 8080 --token T --instance-id I

- :mod:`~zentrix_gov.local.endpoints`: paths, API version, detectors per endpoint;
- :mod:`~zentrix_gov.local.app`: the aiohttp app (routes, middleware, error replies);
- :mod:`~zentrix_gov.local.server`: :class:`DetectionServer`, ``serve()`` and ``main()``;
- :mod:`~zentrix_gov.local.requestlog`: the bounded log of received requests;
- :mod:`~zentrix_gov.local.scoring`: the detectors, one module per family.
"""

from __future__ import annotations

import sys

from .app import CLIENT_MAX_SIZE, SERVICE_KEY, DetectionService, create_app, error_response
from .endpoints import (
    API_VERSION,
    DETECTOR_PATHS,
    ENDPOINT_DETECTORS,
    PATH_CHAT,
    PATH_CONTEXT,
    PATH_GENERATED,
    PATH_TEXT,
)
from .requestlog import RecordedRequest, RequestLog
from .server import BACKLOG, DetectionServer, main, serve

__all__ = [
    "API_VERSION",
    "BACKLOG",
    "CLIENT_MAX_SIZE",
    "DETECTOR_PATHS",
    "ENDPOINT_DETECTORS",
    "PATH_CHAT",
    "PATH_CONTEXT",
    "PATH_GENERATED",
    "PATH_TEXT",
    "SERVICE_KEY",
    "DetectionServer",
    "DetectionService",
    "RecordedRequest",
    "RequestLog",
    "create_app",
    "error_response",
    "main",
    "serve",
]

if __name__ == "__main__":
    sys.exit(main())
