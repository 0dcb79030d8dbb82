"""A local stand-in for the remote text-detection service, for tests and demos.

Nothing is imported here so that ``import zentrix_gov.local`` stays cheap; use
``zentrix_gov.local.detection`` for the server and ``zentrix_gov.local.testing`` for
test helpers.
"""
