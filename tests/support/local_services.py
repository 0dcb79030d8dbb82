"""Test helpers around the local services.

``detection_server()`` and ``judge_server()`` run a server for the duration of a ``with``
block (use them in any test folder's fixtures); ``self_signed_certificate()`` makes a
certificate for 127.0.0.1 so tests can serve HTTPS and check that clients verify
certificates.

Test servers accept the well-known ``TEST_TOKEN`` unless told otherwise, so tests can
write credentials literally. Nothing outside the tests uses these helpers: a server
started any other way (the command line's among them) draws a random token.
"""

from __future__ import annotations

import json
import shutil
import ssl
import subprocess
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import aiohttp

from zentrix_gov.local.endpoints import PATH_TEXT
from zentrix_gov.local.judge.server import JudgeServer
from zentrix_gov.local.server import DEFAULT_INSTANCE_ID, DetectionServer

TEST_TOKEN = "local-token"
TEST_INSTANCE_ID = DEFAULT_INSTANCE_ID


@contextmanager
def detection_server(**options: Any) -> Iterator[DetectionServer]:
    """A started :class:`DetectionServer` (on its own thread), stopped on exit.

    ``options`` go to the constructor, e.g. ``token=``, ``instance_id=``, ``ssl_context=``;
    the token defaults to ``TEST_TOKEN`` (``token=None`` draws a random one).
    """
    options.setdefault("token", TEST_TOKEN)
    server = DetectionServer(**options).start()
    try:
        yield server
    finally:
        server.stop()


@contextmanager
def judge_server(**options: Any) -> Iterator[JudgeServer]:
    """A started :class:`JudgeServer` (on its own thread), stopped on exit.

    It yields the server: ``.url`` (http://127.0.0.1:PORT), ``.token``, ``.faults``,
    ``.requests`` and ``.openai_base_url``. ``options`` go to the constructor; the token
    defaults to ``TEST_TOKEN`` (``token=None`` draws a random one).
    """
    options.setdefault("token", TEST_TOKEN)
    server = JudgeServer(**options).start()
    try:
        yield server
    finally:
        server.stop()


@dataclass(frozen=True)
class Reply:
    """A reply of the detection service, read completely."""

    status: int
    text: str
    content_type: str

    def json(self) -> Any:
        return json.loads(self.text)

    @property
    def detections(self) -> list[dict[str, Any]]:
        """The detections of a 200 reply (AssertionError with the body otherwise)."""
        assert self.status == 200, self.text
        return self.json()["detections"]

    @property
    def error(self) -> dict[str, Any]:
        """The single entry of an error reply's ``errors`` list."""
        errors = self.json()["errors"]
        assert len(errors) == 1, errors
        return errors[0]


async def post_json(
    session: aiohttp.ClientSession,
    server: DetectionServer,
    body: Any = None,
    path: str = PATH_TEXT,
    headers: dict[str, str] | None = None,
    raw: str | bytes | None = None,
    url: str | None = None,
    **request_options: Any,
) -> Reply:
    """POST ``body`` as JSON (or ``raw`` as is) to ``server`` with its credentials.

    ``headers`` replaces the credential headers; ``url`` replaces the endpoint URL built from
    ``path``; ``request_options`` go to ``session.post`` (e.g. ``ssl=``).
    """
    async with session.post(
        url or server.endpoint(path),
        data=raw if raw is not None else json.dumps(body),
        headers=server.headers() if headers is None else headers,
        **request_options,
    ) as response:
        return Reply(response.status, await response.text(), response.content_type)


@dataclass(frozen=True)
class SelfSignedCertificate:
    """PEM files of a certificate valid for one IP address, and contexts that use them."""

    cert_file: Path
    key_file: Path

    def server_context(self) -> ssl.SSLContext:
        """An SSL context for a server presenting this certificate."""
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(self.cert_file, self.key_file)
        return context

    def client_context(self) -> ssl.SSLContext:
        """A verifying client context that trusts this certificate (and nothing else)."""
        return ssl.create_default_context(cafile=str(self.cert_file))


def _with_openssl(openssl: str, ip: str, cert: Path, key: Path) -> None:
    subprocess.run(
        [
            openssl, "req", "-x509", "-nodes", "-newkey", "ec",
            "-pkeyopt", "ec_paramgen_curve:prime256v1",
            "-keyout", str(key), "-out", str(cert), "-days", "2",
            "-subj", f"/CN={ip}", "-addext", f"subjectAltName=IP:{ip}",
        ],
        check=True,
        capture_output=True,
    )  # fmt: skip


def _with_cryptography(ip: str, cert: Path, key: Path) -> None:
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    private_key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, ip)])
    now = datetime.datetime.now(datetime.UTC)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(private_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=2))
        .add_extension(
            x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address(ip))]),
            critical=False,
        )
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(private_key, hashes.SHA256())
    )
    cert.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key.write_bytes(
        private_key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        )
    )


def self_signed_certificate(
    directory: str | Path | None = None, ip: str = "127.0.0.1", backend: str = "auto"
) -> SelfSignedCertificate:
    """Write ``cert.pem`` and ``key.pem`` for ``ip`` into ``directory`` (a new temp dir if None).

    ``backend`` is "openssl" (the command line tool), "cryptography" (the package) or
    "auto": the tool when it is on the path, else the package.
    """
    folder = Path(directory) if directory is not None else Path(tempfile.mkdtemp(prefix="cert-"))
    folder.mkdir(parents=True, exist_ok=True)
    cert, key = folder / "cert.pem", folder / "key.pem"
    openssl = shutil.which("openssl")
    if backend == "auto":
        backend = "openssl" if openssl else "cryptography"
    if backend == "openssl":
        if openssl is None:
            raise RuntimeError("The openssl command is not installed.")
        _with_openssl(openssl, ip, cert, key)
    elif backend == "cryptography":
        try:
            _with_cryptography(ip, cert, key)
        except ImportError as exc:
            raise RuntimeError(
                "Making a certificate needs the openssl command or the cryptography package."
            ) from exc
    else:
        raise ValueError(f"Unknown certificate backend {backend!r}.")
    key.chmod(0o600)
    return SelfSignedCertificate(cert, key)
