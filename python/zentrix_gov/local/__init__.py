"""Local stand-ins for the remote services, for tests and demos.

Nothing is imported here so that ``import zentrix_gov.local`` stays cheap; use
``zentrix_gov.local.detection`` for the text-detection service and
``zentrix_gov.local.judge`` for the judge & platform stand-in.
"""
