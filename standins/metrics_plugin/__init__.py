"""Risk evaluation plug-in: ``metrics_plugin.mra.evaluate_fm_risk.EvaluateFMRisk``."""
