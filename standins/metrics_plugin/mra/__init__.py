"""Model risk assessment: benchmark prompts run against a model, scored by simple checks.

- ``benchmarks``: the built-in benchmark sets (data files in ``data/``) per risk;
- ``checks``: the answer checks (refusal, leaked personal data, stance, agreement);
- ``scoring``: per-benchmark verdicts and metrics;
- ``models``: how the model under test is asked (scoring function or platform model);
- ``thresholds``: pass or fail of each risk against its threshold;
- ``report``: the PDF report;
- ``evaluate_fm_risk``: ``EvaluateFMRisk``, which ties them together.
"""
