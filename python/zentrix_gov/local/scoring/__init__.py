"""Scoring of the local detection service, one module per detector family.

``common`` holds what they share; ``risks`` (hap, basalt_guardian), ``pii``, ``patterns``
(keyword, regex), ``relevance`` (topic, answer, faithfulness, context) and ``tool_calls``
each score one family. Only the standard library is used here.
"""
