"""Serving the local model: llama.cpp's OpenAI-compatible server (``xllamacpp``), in a
process of its own, on 127.0.0.1 with a key.

:class:`LocalModelServer` checks the model file (:mod:`.files`), starts
``python -m zentrix_gov.local.model.server`` and waits until it listens; leaving the
``with`` block stops it. The key travels to the server process in its environment
(``ZENTRIX_MODEL_API_KEY``), never on a command line. The server process reports one line
on standard output: ``ready URL``, or ``error MESSAGE``.

Settings that matter on a small machine: an answer cap for requests that carry none
(``n_predict``), ``OMP_WAIT_POLICY=PASSIVE`` (threads that wait spinning starve the
others: 2 tokens/s instead of 11-17 on 2 busy cores), one thread when the machine is
already busy, and an 8k context shared by the slots. Start-up takes 3-10 s and about
2 GB of memory.
"""

from __future__ import annotations

import os
import secrets
import select
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from zentrix_gov.local.model.files import MODEL, ModelFileError, ModelInfo, model_file

KEY_VARIABLE = "ZENTRIX_MODEL_API_KEY"
MODEL_NAME = "local-model"
START_TIMEOUT = 180.0
STOP_TIMEOUT = 10.0


def default_threads() -> int:
    """Two threads (at most the cores), or one when the machine is already busy."""
    cores = os.cpu_count() or 1
    try:
        busy = os.getloadavg()[0] >= cores
    except OSError:
        busy = False
    return 1 if busy else max(1, min(cores, 2))


@dataclass(frozen=True)
class Settings:
    """How the server runs the model."""

    context: int = 8192  # tokens, shared by the slots
    slots: int = 2  # requests answered at once
    max_tokens: int = 1024  # the cap of answers whose request carries none
    threads: int = field(default_factory=default_threads)

    def arguments(self) -> list[str]:
        return [
            f"--context={self.context}",
            f"--slots={self.slots}",
            f"--max-tokens={self.max_tokens}",
            f"--threads={self.threads}",
        ]


class LocalModelServer:
    """A packaged model (``model``, the default one unless given) served on 127.0.0.1 for
    the ``with`` block.

    ``url`` is the server's address, ``base_url`` its OpenAI base URL (``.../v1``),
    ``model_name`` the name requests give (the model's own; ``local-model`` is served
    too), ``key`` the API key (random unless given).
    """

    def __init__(
        self,
        port: int = 0,
        key: str | None = None,
        settings: Settings | None = None,
        model: ModelInfo = MODEL,
    ):
        self.port = port
        self.key = key or secrets.token_urlsafe(24)
        self.settings = settings or Settings()
        self.model = model
        self.model_name = model.name
        self.url = ""
        self._process: subprocess.Popen[str] | None = None

    @property
    def base_url(self) -> str:
        return self.url.rstrip("/") + "/v1"

    def start(self) -> LocalModelServer:
        path = model_file(self.model)  # checked before anything is loaded
        environment = dict(os.environ)
        environment[KEY_VARIABLE] = self.key
        environment.setdefault("OMP_WAIT_POLICY", "PASSIVE")
        command = [
            sys.executable,
            "-m",
            "zentrix_gov.local.model.server",
            f"--model={path}",
            f"--port={self.port}",
            f"--name={self.model.name}",
            *self.settings.arguments(),
        ]
        self._process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            env=environment,
            text=True,
            start_new_session=True,  # Ctrl-C reaches this process, which stops the server
        )
        line = self._first_line()
        kind, _, text = line.strip().partition(" ")
        if kind != "ready":
            self.stop()
            reason = text if kind == "error" else "it exited before it was ready"
            raise ModelFileError(f"the local model server did not start: {reason}")
        self.url = text
        return self

    def _first_line(self) -> str:
        assert self._process is not None and self._process.stdout is not None
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self._process.stdout], [], [], 0.5)
            if ready:
                return self._process.stdout.readline() or "exited"
            if self._process.poll() is not None:
                return "exited"
        return f"error no answer within {START_TIMEOUT:g} s"

    def stop(self) -> None:
        process, self._process = self._process, None
        if process is None or process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def __enter__(self) -> LocalModelServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def _serve(arguments: list[str]) -> int:
    """The server process: load the model, say ``ready URL``, serve until terminated."""
    import argparse

    parser = argparse.ArgumentParser(prog="zentrix_gov.local.model.server")
    parser.add_argument("--model", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--name", default=MODEL.name)
    parser.add_argument("--context", type=int, default=Settings.context)
    parser.add_argument("--slots", type=int, default=Settings.slots)
    parser.add_argument("--max-tokens", type=int, default=Settings.max_tokens)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args(arguments)
    key = os.environ.get(KEY_VARIABLE)
    if not key:
        print(f"error {KEY_VARIABLE} is not set", flush=True)
        return 2
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    try:
        os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")  # before the runtime loads
        import xllamacpp

        params = xllamacpp.CommonParams()
        params.model.path = str(Path(args.model))
        params.model_alias = {MODEL_NAME, args.name}
        params.hostnames = ["127.0.0.1"]
        params.port = args.port
        params.api_keys = [key]
        params.n_ctx = args.context
        params.n_parallel = args.slots
        params.n_batch = 512
        params.n_ubatch = 512
        params.n_predict = args.max_tokens
        params.cpuparams.n_threads = args.threads
        params.cpuparams_batch.n_threads = args.threads
        params.use_jinja = True
        params.ui = False
        params.verbosity = 0
        server = xllamacpp.Server(params)
    except Exception as exc:  # reported on the protocol line, never a traceback
        print(f"error {type(exc).__name__}: {exc}", flush=True)
        return 1
    print(f"ready {server.listening_address}", flush=True)
    parent = os.getppid()
    # Until terminated, or until the process that started it is gone.
    while not stop.wait(1.0) and os.getppid() == parent:
        pass
    del server
    return 0


if __name__ == "__main__":
    sys.exit(_serve(sys.argv[1:]))
