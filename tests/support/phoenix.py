"""A real Phoenix server for the tests that read traces back (marker ``phoenix``).

Phoenix (the 'phoenix' extra) serves its UI, REST API and OTLP/HTTP receiver on 127.0.0.1
at a free port, with a working folder of its own. Its OTLP/gRPC receiver would listen on
every interface: the server is started through a launcher that binds it to 127.0.0.1 too.
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

# Phoenix's gRPC server binds "[::]:PORT"; this one binds 127.0.0.1 instead.
LAUNCHER = """
import runpy, sys
import grpc.aio
make = grpc.aio.server
def loopback_server(*args, **kwargs):
    server = make(*args, **kwargs)
    add = server.add_insecure_port
    server.add_insecure_port = lambda address: add(address.replace("[::]", "127.0.0.1"))
    return server
grpc.aio.server = loopback_server
sys.argv = ["phoenix", "serve"]
runpy.run_module("phoenix.server.main", run_name="__main__")
"""
START_SECONDS = 240.0  # a first start migrates a new database


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextmanager
def phoenix_server(folder: Path) -> Iterator[str]:
    """Phoenix serving from ``folder`` for the ``with`` block; gives its base URL."""
    port, grpc_port = free_port(), free_port()
    env = {
        **os.environ,
        "PHOENIX_WORKING_DIR": str(folder),
        "PHOENIX_HOST": "127.0.0.1",
        "PHOENIX_PORT": str(port),
        "PHOENIX_GRPC_PORT": str(grpc_port),
        "PHOENIX_TELEMETRY_ENABLED": "false",
    }
    log = (folder / "phoenix.log").open("w")
    process = subprocess.Popen([sys.executable, "-c", LAUNCHER], env=env, stdout=log,
                               stderr=subprocess.STDOUT)  # fmt: skip
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + START_SECONDS
        while True:
            if process.poll() is not None:
                raise RuntimeError(
                    f"Phoenix ended at start: {(folder / 'phoenix.log').read_text()[-2000:]}"
                )
            try:
                with urllib.request.urlopen(url + "/healthz", timeout=2) as reply:
                    if reply.status == 200:
                        break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"Phoenix did not start within {START_SECONDS:g} s")
            time.sleep(1)
        yield url
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)
        log.close()
