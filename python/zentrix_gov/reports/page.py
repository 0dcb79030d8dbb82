"""Writing a report page: one self-contained HTML file, made with jinja2.

Every text of a record, a judge or a metric is untrusted. Templates escape everything
(autoescape); data for the page's script is JSON inside ``<script type="application/json">``
with ``<``, ``>``, ``&`` and the line separators U+2028/U+2029 written as escapes, so that no
text can end the element; the script shows texts with ``textContent`` only. The data element
and the script are written after the rendered template, never spliced into it, so no text
can move them. The page's
Content-Security-Policy loads nothing from anywhere and runs only the page's own script
(by its hash), so even a mistake in escaping could not run an injected one.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
from collections.abc import Iterable
from functools import cache
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import jinja2

HERE = Path(__file__).resolve().parent
# The id of the element that holds the page's data (read by the page's script).
DATA_ELEMENT = "report-data"
_SCRIPT_ESCAPES = (
    ("<", "\\u003c"),
    (">", "\\u003e"),
    ("&", "\\u0026"),
    ("\u2028", "\\u2028"),
    ("\u2029", "\\u2029"),
)


def script_json(value: Any) -> str:
    """``value`` as JSON that can stand inside a ``<script>`` element."""
    return script_safe(json.dumps(value, ensure_ascii=False, separators=(",", ":")))


def script_safe(text: str) -> str:
    """JSON text with the characters that could end a ``<script>`` element escaped."""
    for character, escape in _SCRIPT_ESCAPES:
        if character in text:
            text = text.replace(character, escape)
    return text


@cache
def environment() -> jinja2.Environment:
    try:
        import jinja2
    except ImportError:  # pragma: no cover - a dependency of the package
        raise ImportError("reports need jinja2: pip install jinja2") from None
    env = jinja2.Environment(
        loader=jinja2.FileSystemLoader(HERE / "templates"),
        autoescape=True,
        trim_blocks=True,
        lstrip_blocks=True,
        undefined=jinja2.StrictUndefined,
    )
    env.filters.update(number=number, percent=percent, signed=signed, count=count)
    env.globals["style"] = (HERE / "static" / "report.css").read_text(encoding="utf-8")
    return env


def number(value: Any, digits: int = 4) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool) or not isinstance(value, int | float):
        return str(value)
    if value != value:
        return "-"
    return f"{value:.{digits}f}"


def percent(value: float | None) -> str:
    return "-" if value is None else f"{value:.1%}"


def signed(value: float | None, digits: int = 4) -> str:
    return "-" if value is None else f"{value:+.{digits}f}"


def count(value: int) -> str:
    return f"{value:,}"


def script_text(name: str) -> str:
    return (HERE / "static" / name).read_text(encoding="utf-8")


def policy(script: str | None) -> str:
    """The page's Content-Security-Policy: nothing from outside; only ``script`` runs."""
    scripts = "'none'"
    if script is not None:
        digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode()
        scripts = f"'sha256-{digest}'"
    return (
        f"default-src 'none'; script-src {scripts}; style-src 'unsafe-inline'; "
        "img-src data:; base-uri 'none'; form-action 'none'"
    )


def write_page(
    target: str | os.PathLike[str],
    template: str,
    context: dict[str, Any],
    *,
    script: str | None = None,
    data: Iterable[str] | None = None,
) -> int:
    """Render ``template`` to ``target`` (through a temporary file renamed into place) and
    return the file's size. The template renders the page up to the end of its content;
    after it come the data element, when there are ``data`` (pieces of JSON text, written
    without holding them all at once), then the page's ``script``, then the closing tags."""
    from zentrix_gov.utils.files import staged_files

    text = environment().get_template(template).render(**context, policy=policy(script))
    path = Path(target)
    with staged_files() as stage:
        handle = stage(path)
        handle.write(text)
        if data is not None:
            handle.write(f'<script type="application/json" id="{DATA_ELEMENT}">')
            for piece in data:
                handle.write(script_safe(piece))
            handle.write("</script>\n")
        if script is not None:
            handle.write(f"<script>{script}</script>\n")
        handle.write("</body>\n</html>\n")
    return path.stat().st_size
