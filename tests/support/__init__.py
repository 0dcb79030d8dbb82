"""Helpers the tests share: local services with a fixed token, replies, certificates."""
