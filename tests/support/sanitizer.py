"""Whether the tests run against the sanitizer build (``./dev.sh sanitize`` preloads the
AddressSanitizer runtime into every process it starts)."""

import os

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
