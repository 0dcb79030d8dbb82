"""Entity records of the SDK: metrics, results, judges, models and credentials.

Import the records from their modules (``zentrix_gov.entities.evaluation_result`` and so on);
nothing is imported here so that loading one record does not load them all.
"""
