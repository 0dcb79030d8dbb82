from pydantic import BaseModel

class ZnUrls(BaseModel):
    iam_url: str
    zng_url: str
    mlp_url: str
    qel_url: str
    region: str

ZENTRIX_REGION_URLS: dict[str, ZnUrls]
EVS_REGIONMAP: dict[str, ZnUrls]
