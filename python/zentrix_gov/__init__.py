"""Evaluation SDK for generative-AI applications.

Importing the package is kept cheap: submodules that pull in pandas, aiohttp or the judge
libraries are imported only where they are used.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]

# Public entry points (for example ``evaluate``) are added below this line.
