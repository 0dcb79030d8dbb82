"""A tiny aiohttp stand-in of the AI platform for the client's unit tests: the model
catalogue and text generation, with the bearer key checked."""

from __future__ import annotations

import asyncio
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field

from aiohttp import web

MODELS = {
    "acme/refuser": lambda prompt: "I'm sorry, but I can't help with that.",
    "acme/echo": lambda prompt: f"You said: {prompt}",
}


@dataclass
class FakePlatform:
    token: str
    url: str = ""
    models: dict[str, Callable[[str], str]] = field(default_factory=lambda: dict(MODELS))
    requests: list[dict] = field(default_factory=list)
    in_flight: int = 0
    most_in_flight: int = 0
    delay: float = 0.0
    lock: threading.Lock = field(default_factory=threading.Lock)

    def _authorised(self, request: web.Request) -> bool:
        return request.headers.get("Authorization") == f"Bearer {self.token}"

    async def model_listing(self, request: web.Request) -> web.Response:
        self.requests.append({"path": request.path, "query": dict(request.query)})
        if not self._authorised(request):
            return web.json_response({"error": {"message": "unauthorised"}}, status=401)
        wanted = request.query.get("model_id")
        resources = [
            {"model_id": name, "label": name, "provider": "acme", "tasks": ["generation"]}
            for name in self.models
            if wanted is None or name == wanted
        ]
        return web.json_response({"resources": resources, "total_count": len(resources)})

    async def generate(self, request: web.Request) -> web.Response:
        if not self._authorised(request):
            return web.json_response({"error": {"message": "unauthorised"}}, status=401)
        body = await request.json()
        self.requests.append({"path": request.path, "body": body})
        with self.lock:
            self.in_flight += 1
            self.most_in_flight = max(self.most_in_flight, self.in_flight)
        try:
            await asyncio.sleep(self.delay)
        finally:
            with self.lock:
                self.in_flight -= 1
        responder = self.models.get(body.get("model_id"))
        if responder is None:
            return web.json_response(
                {"errors": [{"code": "model_not_found", "message": "no such model"}]}, status=404
            )
        text = responder(body["input"])
        return web.json_response(
            {
                "model_id": body["model_id"],
                "created_at": time.strftime("%Y-%m-%dT%H:%M:%SZ"),
                "results": [
                    {
                        "generated_text": text,
                        "generated_token_count": len(text.split()),
                        "input_token_count": len(body["input"].split()),
                        "stop_reason": "eos_token",
                    }
                ],
            }
        )


@contextmanager
def fake_platform(token: str = "platform-key") -> Iterator[FakePlatform]:
    platform = FakePlatform(token)
    app = web.Application()
    app.router.add_get("/v1/foundation_model_specs", platform.model_listing)
    app.router.add_post("/v1/text/generation", platform.generate)
    loop = asyncio.new_event_loop()
    runner = web.AppRunner(app)
    loop.run_until_complete(runner.setup())
    site = web.TCPSite(runner, "127.0.0.1", 0)
    loop.run_until_complete(site.start())
    port = site._server.sockets[0].getsockname()[1]
    platform.url = f"http://127.0.0.1:{port}"
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    try:
        yield platform
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        loop.run_until_complete(runner.cleanup())
        loop.close()
