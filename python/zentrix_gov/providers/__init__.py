"""Metric providers. Each lives in its own module and is imported on demand."""
