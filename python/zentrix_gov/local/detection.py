"""A local text-detection service: the aiohttp app, a server runner and a command line.

It answers the four detection endpoints of the machine-learning platform with the scoring
of :mod:`zentrix_gov.local.detectors`, checks the bearer token and governance instance id,
records every request, and can be scripted to fail (:mod:`zentrix_gov.local.faults`).

From synchronous test code::

    with DetectionServer().start() as server:
        post_to(server.url + "/ml/v1/text/detection?version=2023-10-25")

From a running event loop: ``async with DetectionServer() as server: ...``.

From a shell::

    python -m zentrix_gov.local.detection --port 8080 --token T --instance-id I
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import hmac
import http
import json
import ssl
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from aiohttp import web
from multidict import CIMultiDict

from . import detectors
from .detectors import DetectorError
from .faults import DROP, NON_JSON, NON_JSON_ERROR, PASS, Fault, FaultPlan
from .regex_runner import RegexMatcher, RegexTimeout, RegexWorkerError

API_VERSION = "2023-10-25"
PATH_TEXT = "/ml/v1/text/detection"
PATH_GENERATED = "/ml/v1/text/detection/generated"
PATH_CONTEXT = "/ml/v1/text/detection/context"
PATH_CHAT = "/ml/v1/text/detection/chat"
ENDPOINT_DETECTORS = {
    PATH_TEXT: detectors.TEXT_DETECTORS,
    PATH_GENERATED: detectors.GENERATED_DETECTORS,
    PATH_CONTEXT: detectors.CONTEXT_DETECTORS,
    PATH_CHAT: detectors.CHAT_DETECTORS,
}
DETECTOR_PATHS = {
    name: path for path, names in ENDPOINT_DETECTORS.items() for name in sorted(names)
}

# The client may post tens of thousands of records at once, some with long contexts.
CLIENT_MAX_SIZE = 64 * 1024 * 1024
BACKLOG = 1024


# --------------------------------------------------------------------------- request log


@dataclass(frozen=True)
class RecordedRequest:
    """One request as it reached the server."""

    method: str
    path: str  # path and query, e.g. "/ml/v1/text/detection?version=2023-10-25"
    headers: CIMultiDict[str]  # case-insensitive copy
    body: str  # raw body text (undecodable bytes replaced)

    def json(self) -> Any:
        """The body decoded from JSON (raises ``ValueError`` when it is not JSON)."""
        return json.loads(self.body)


class RequestLog:
    """Thread-safe list of :class:`RecordedRequest`, written by the server loop."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._items: list[RecordedRequest] = []

    def append(self, item: RecordedRequest) -> None:
        with self._lock:
            self._items.append(item)

    def clear(self) -> None:
        with self._lock:
            self._items.clear()

    def snapshot(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._items)

    def __len__(self) -> int:
        with self._lock:
            return len(self._items)

    def __getitem__(self, index: int) -> RecordedRequest:
        with self._lock:
            return self._items[index]

    def __iter__(self) -> Iterator[RecordedRequest]:
        return iter(self.snapshot())


# --------------------------------------------------------------------------- the app


@dataclass
class DetectionService:
    """State shared by the handlers of one app."""

    token: str
    instance_id: str
    faults: FaultPlan
    requests: RequestLog
    regex: RegexMatcher


SERVICE_KEY = web.AppKey("detection_service", DetectionService)


def error_response(status: int, code: str, message: str) -> web.Response:
    """The JSON error shape used for every failure."""
    return web.json_response(
        {"errors": [{"code": code, "message": message}], "status_code": status}, status=status
    )


def _reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Error"


def _status_code_name(status: int) -> str:
    return _reason(status).lower().replace(" ", "_").replace("-", "_")


async def _answer_fault(request: web.Request, fault: Fault) -> web.StreamResponse:
    if fault.kind == DROP:
        # Close the socket under the request: the client sees a disconnect, not a reply.
        if request.transport is not None:
            request.transport.abort()
        raise asyncio.CancelledError
    if fault.kind == NON_JSON:
        return web.Response(status=200, text="this reply is not JSON", content_type="text/plain")
    if fault.kind == NON_JSON_ERROR:
        html = f"<html><body><h1>{fault.status} {_reason(fault.status)}</h1></body></html>"
        return web.Response(status=fault.status, text=html, content_type="text/html")
    return error_response(
        fault.status,
        _status_code_name(fault.status),
        f"Scripted failure with status {fault.status}.",
    )


def _authorised(service: DetectionService, request: web.Request) -> str | None:
    """None when the request carries the expected credentials, else the reason."""
    authorization = request.headers.get("Authorization")
    if authorization is None:
        return "Missing Authorization header."
    scheme, _, token = authorization.partition(" ")
    if scheme.lower() != "bearer" or not hmac.compare_digest(
        token.strip().encode(), service.token.encode()
    ):
        return "The bearer token is not valid."
    if request.headers.get("x-governance-instance-id") != service.instance_id:
        return "Missing or unknown x-governance-instance-id header."
    return None


@web.middleware
async def _front_door(request: web.Request, handler: Callable) -> web.StreamResponse:
    """Record, delay, inject faults and check credentials before any handler runs."""
    service = request.app[SERVICE_KEY]
    raw = await request.read()
    service.requests.append(
        RecordedRequest(
            request.method,
            request.path_qs,
            CIMultiDict(request.headers),
            raw.decode("utf-8", errors="replace"),
        )
    )
    # Take the scripted fault on arrival so concurrent requests consume it in arrival order.
    fault = service.faults.next_for(request.path)
    latency = service.faults.latency
    if latency > 0:
        await asyncio.sleep(latency)
    if fault is not None and fault.kind != PASS:
        return await _answer_fault(request, fault)
    reason = _authorised(service, request)
    if reason is not None:
        return error_response(401, "authentication_token_not_valid", reason)
    try:
        return await handler(request)
    except DetectorError as exc:
        return error_response(exc.status, exc.code, exc.message)
    except web.HTTPException as exc:
        return error_response(exc.status, _status_code_name(exc.status), exc.reason)
    except RegexTimeout as exc:
        return error_response(422, "regex_timeout", str(exc))
    except RegexWorkerError as exc:
        return error_response(500, "internal_error", f"Regex matching failed: {exc}")
    except Exception as exc:  # a reply, not a dropped connection, for anything unforeseen
        return error_response(500, "internal_error", f"{type(exc).__name__}: {exc}")


def _parse_body(raw: bytes) -> dict[str, Any]:
    try:
        body = json.loads(raw)
    except ValueError as exc:
        raise DetectorError(f"The request body is not valid JSON: {exc}.") from None
    if not isinstance(body, dict):
        raise DetectorError("The request body must be a JSON object.")
    return body


def _member(body: dict[str, Any], name: str) -> Any:
    if name not in body:
        raise DetectorError(f"The request body is missing the required member '{name}'.")
    return body[name]


def _detector_entry(body: dict[str, Any], path: str) -> tuple[str, dict[str, Any]]:
    entry = _member(body, "detectors")
    if not isinstance(entry, dict) or len(entry) != 1:
        raise DetectorError("'detectors' must be an object with exactly one detector.")
    ((name, params),) = entry.items()
    if name not in detectors.ALL_DETECTORS:
        raise DetectorError(
            f"Unknown detector '{name}'. Known detectors: "
            f"{', '.join(sorted(detectors.ALL_DETECTORS))}.",
            code="unknown_detector",
        )
    if name not in ENDPOINT_DETECTORS[path]:
        raise DetectorError(
            f"Detector '{name}' is not served at {path}; use {DETECTOR_PATHS[name]}.",
            code="unsupported_detector",
        )
    if params is None:
        params = {}
    if not isinstance(params, dict):
        raise DetectorError(f"The parameters of detector '{name}' must be an object.")
    return name, params


async def _score(
    service: DetectionService, path: str, name: str, params: dict[str, Any], body: dict[str, Any]
) -> list[detectors.Detection]:
    require_str = detectors.require_str
    if path == PATH_TEXT:
        text = require_str(_member(body, "input"), "input")
        if name == "regex":
            patterns = detectors.regex_patterns(params)
            matches, _ = await service.regex.find(patterns, text)
            return detectors.regex_detections(patterns, text, matches)
        return detectors.TEXT_SCORERS[name](params, text)
    if path == PATH_GENERATED:
        prompt = require_str(_member(body, "prompt"), "prompt")
        generated = require_str(_member(body, "generated_text"), "generated_text")
        return detectors.detect_answer_relevance(params, prompt, generated)
    if path == PATH_CONTEXT:
        text = require_str(_member(body, "input"), "input")
        if body.get("context_type", "docs") != "docs":
            raise DetectorError("'context_type' must be \"docs\".")
        contexts = detectors.string_list(_member(body, "context"), "context")
        if name == "faithfulness":
            return detectors.detect_faithfulness(params, text, contexts)
        return detectors.detect_context_relevance(params, text, contexts)
    return detectors.detect_tool_call_accuracy(
        params, _member(body, "messages"), _member(body, "tools")
    )


def _make_handler(path: str) -> Callable:
    async def handle(request: web.Request) -> web.Response:
        if "version" not in request.query:
            raise DetectorError("The query parameter 'version' is required.")
        service = request.app[SERVICE_KEY]
        body = _parse_body(await request.read())
        name, params = _detector_entry(body, path)
        return web.json_response({"detections": await _score(service, path, name, params, body)})

    return handle


async def _unknown_route(request: web.Request) -> web.Response:
    if request.path in ENDPOINT_DETECTORS:
        raise DetectorError(
            f"{request.method} is not allowed at {request.path}; use POST.",
            status=405,
            code="method_not_allowed",
        )
    raise DetectorError(f"No endpoint at {request.path}.", status=404, code="not_found")


def create_app(service: DetectionService) -> web.Application:
    """The aiohttp application serving the detection endpoints for ``service``."""
    app = web.Application(middlewares=[_front_door], client_max_size=CLIENT_MAX_SIZE)
    app[SERVICE_KEY] = service
    for path in ENDPOINT_DETECTORS:
        app.router.add_post(path, _make_handler(path))
    app.router.add_route("*", "/{tail:.*}", _unknown_route)

    async def stop_workers(app: web.Application) -> None:
        await app[SERVICE_KEY].regex.close()

    app.on_cleanup.append(stop_workers)
    return app


# --------------------------------------------------------------------------- the server


class DetectionServer:
    """Runs the detection app on 127.0.0.1 (by default) on an ephemeral port.

    ``start()``/``stop()`` (or ``with``) run it on its own event loop in a daemon thread, for
    synchronous callers; ``async with`` runs it on the caller's loop.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str = "local-token",
        instance_id: str = "local-instance",
        ssl_context: ssl.SSLContext | None = None,
        latency: float = 0.0,
        regex_timeout: float = 2.0,
    ):
        self.host = host
        self.port = port
        self.ssl_context = ssl_context
        self.service = DetectionService(
            token=token,
            instance_id=instance_id,
            faults=FaultPlan(latency),
            requests=RequestLog(),
            regex=RegexMatcher(timeout=regex_timeout),
        )
        self.url = ""
        self._runner: web.AppRunner | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    @property
    def requests(self) -> RequestLog:
        return self.service.requests

    @property
    def faults(self) -> FaultPlan:
        return self.service.faults

    @property
    def token(self) -> str:
        return self.service.token

    @property
    def instance_id(self) -> str:
        return self.service.instance_id

    @property
    def regex_timeout(self) -> float:
        return self.service.regex.timeout

    @regex_timeout.setter
    def regex_timeout(self, seconds: float) -> None:
        self.service.regex.timeout = seconds

    def headers(self) -> dict[str, str]:
        """Headers that pass this server's credential check."""
        return {
            "Content-Type": "application/json",
            "Authorization": f"Bearer {self.token}",
            "x-governance-instance-id": self.instance_id,
        }

    def endpoint(self, path: str = PATH_TEXT) -> str:
        """Full URL of a detection endpoint, with the version query."""
        return f"{self.url}{path}?version={API_VERSION}"

    # -- on the caller's loop

    async def start_async(self) -> DetectionServer:
        if self._runner is not None:
            raise RuntimeError("The detection server is already running.")
        runner = web.AppRunner(
            create_app(self.service), access_log=None, handle_signals=False, shutdown_timeout=1.0
        )
        await runner.setup()
        try:
            site = web.TCPSite(
                runner, self.host, self.port, ssl_context=self.ssl_context, backlog=BACKLOG
            )
            await site.start()
        except BaseException:
            await runner.cleanup()
            raise
        self._runner = runner
        port = runner.addresses[0][1]
        scheme = "https" if self.ssl_context is not None else "http"
        host = f"[{self.host}]" if ":" in self.host else self.host
        self.url = f"{scheme}://{host}:{port}"
        return self

    async def stop_async(self) -> None:
        runner, self._runner = self._runner, None
        if runner is not None:
            await runner.cleanup()

    async def __aenter__(self) -> DetectionServer:
        return await self.start_async()

    async def __aexit__(self, *exc_info: object) -> None:
        await self.stop_async()

    # -- on a thread of its own

    def start(self) -> DetectionServer:
        if self._thread is not None:
            raise RuntimeError("The detection server is already running.")
        loop = asyncio.new_event_loop()
        ready = threading.Event()
        failure: list[BaseException] = []

        def run() -> None:
            asyncio.set_event_loop(loop)
            try:
                try:
                    loop.run_until_complete(self.start_async())
                except BaseException as exc:
                    failure.append(exc)
                    return
                finally:
                    ready.set()
                loop.run_forever()
                loop.run_until_complete(self.stop_async())
                loop.run_until_complete(loop.shutdown_asyncgens())
            finally:
                loop.close()

        thread = threading.Thread(target=run, name="local-detection-server", daemon=True)
        thread.start()
        ready.wait()
        if failure:
            thread.join()
            raise failure[0]
        self._loop, self._thread = loop, thread
        return self

    def stop(self) -> None:
        thread, loop = self._thread, self._loop
        if thread is None or loop is None:
            return
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        self._thread = self._loop = None

    def __enter__(self) -> DetectionServer:
        return self if self._thread is not None else self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


async def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    *,
    on_ready: Callable[[DetectionServer], None] | None = None,
    **options: Any,
) -> None:
    """Serve on the running loop until cancelled; ``options`` go to :class:`DetectionServer`."""
    async with DetectionServer(host, port, **options) as server:
        if on_ready is not None:
            on_ready(server)
        await asyncio.Event().wait()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m zentrix_gov.local.detection",
        description="Serve the local text-detection endpoints until interrupted.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to bind (0: any free port)")
    parser.add_argument("--token", default="local-token", help="accepted bearer token")
    parser.add_argument(
        "--instance-id", default="local-instance", help="accepted x-governance-instance-id"
    )
    parser.add_argument(
        "--latency", type=float, default=0.0, help="seconds to wait before every reply"
    )
    parser.add_argument(
        "--regex-timeout", type=float, default=2.0, help="time limit of one regex request"
    )
    parser.add_argument("--certfile", help="serve HTTPS with this certificate (PEM)")
    parser.add_argument("--keyfile", help="private key of --certfile (PEM)")
    args = parser.parse_args(argv)
    ssl_context = None
    if args.certfile:
        ssl_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ssl_context.load_cert_chain(args.certfile, args.keyfile)
    elif args.keyfile:
        parser.error("--keyfile needs --certfile")

    def announce(server: DetectionServer) -> None:
        print(server.url, flush=True)

    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(
            serve(
                args.host,
                args.port,
                on_ready=announce,
                token=args.token,
                instance_id=args.instance_id,
                ssl_context=ssl_context,
                latency=args.latency,
                regex_timeout=args.regex_timeout,
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
