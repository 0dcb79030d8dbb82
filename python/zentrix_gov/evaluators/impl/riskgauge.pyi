import inspect as inspect
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit as urlsplit

from metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk as EvaluateFMRisk
from zentrix_ai.client import APIClient as ZaiAPIClient
from zentrix_ai.credentials import Credentials
from zentrix_ai.foundation_models_manager import FoundationModelsManager as FoundationModelsManager
from zentrix_gov.clients.api_client import APIClient as APIClient
from zentrix_gov.config.model_risk_configuration import (
    ModelRiskConfiguration as ModelRiskConfiguration,
)
from zentrix_gov.entities.errors import ModelRiskEvaluationError as ModelRiskEvaluationError
from zentrix_gov.entities.errors import ModelRiskResultError as ModelRiskResultError
from zentrix_gov.entities.errors import UnsupportedModelIdError as UnsupportedModelIdError
from zentrix_gov.entities.foundation_model import CustomFoundationModel as CustomFoundationModel
from zentrix_gov.entities.foundation_model import ZnAIFoundationModel as ZnAIFoundationModel
from zentrix_gov.entities.model_risk_result import Benchmark as Benchmark
from zentrix_gov.entities.model_risk_result import ModelRiskResult as ModelRiskResult
from zentrix_gov.entities.model_risk_result import Risk as Risk
from zentrix_gov.entities.model_risk_result import RiskMetric as RiskMetric
from zentrix_gov.utils.regionmap import ZnUrls

ZaiCredentials = Credentials
EVS_REGIONMAP: dict[str, ZnUrls]

def _evaluate_model_risk(
    configuration: ModelRiskConfiguration, api_client: APIClient | None = None
) -> ModelRiskResult: ...
def build_system_credentials(
    configuration: ModelRiskConfiguration, credentials: Any
) -> tuple[dict[str, Any], Callable[..., Any] | None]: ...
def get_zai_credentials(zgov_credentials: Any) -> ZaiAPIClient: ...
def check_if_model_id_is_valid(model_id: str, znai_client: ZaiAPIClient) -> None: ...
