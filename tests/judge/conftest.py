"""The judge tests touch unitxt and Hugging Face: both stay offline and on local catalogues."""

import os

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("UNITXT_USE_ONLY_LOCAL_CATALOGS", "True")
