"""Metric providers. Each lives in its own module and is imported on demand."""

import threading

# Held while a judge provider binds a lazily imported name on first use: the lazy modules
# refuse a second thread that asks for a name another thread is still importing.
LAZY_BINDING_LOCK = threading.RLock()
