"""Evaluation drivers used by the evaluators."""
