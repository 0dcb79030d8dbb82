"""Evaluators of the SDK."""
