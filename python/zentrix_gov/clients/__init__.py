"""Service clients of the SDK (``zentrix_gov.clients.api_client``)."""
