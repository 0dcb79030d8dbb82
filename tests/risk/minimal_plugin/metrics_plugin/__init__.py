"""A risk plug-in offering only what the SDK may rely on (see ``mra.evaluate_fm_risk``)."""
