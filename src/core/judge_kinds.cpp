#include "core/judge_kinds.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

using namespace pybind11::literals;

namespace zcore::judges {

namespace {

constexpr const char* kRecordModule = "zentrix_gov.entities.foundation_model";
constexpr const char* kUnsupported = "LLM Model provider is not supported.";

// Engine classes.
constexpr EngineClass kPlatformEngine{"MLPInferenceEngineGeneration", "zentrix_gov.engines"};
constexpr EngineClass kOpenAIEngine{"OpenAiInferenceEngine", "unitxt.inference"};
constexpr EngineClass kAzureEngine{"AzureOpenAIInferenceEngine", "unitxt.inference"};
constexpr EngineClass kLiteLLMEngine{"LiteLLMInferenceEngine", "unitxt.inference"};
constexpr EngineClass kPortKeyEngine{"PortKeyInferenceEngine", "zentrix_gov.engines"};
constexpr EngineClass kGatewayEngine{"ZnoAIGatewayInferenceEngine", "zentrix_gov.engines"};
constexpr EngineClass kCustomEngine{"CustomFunctionInferenceEngine", "zentrix_gov.engines"};
constexpr EngineClass kCrossProviderEngine{"CrossProviderInferenceEngine", "unitxt.inference"};
constexpr EngineClass kGoogleStudioEngine{"GoogleStudioInferenceEngine", "zentrix_gov.engines"};

// scorewell's engine keywords, per layout.
constexpr Keyword kPlatformKeywords[] = {
    {"credentials", From::kCredentials}, {"model_name", From::kModelId}, {"use_cache", From::kUseCache}};
constexpr Keyword kOpenAIKeywords[] = {
    {"model_name", From::kModelId}, {"credentials", From::kCredentials}, {"use_cache", From::kUseCache}};
constexpr Keyword kLiteLLMKeywords[] = {{"model", From::kModelId},
                                        {"credentials", From::kCredentials},
                                        {"use_cache", From::kUseCache},
                                        {"parameters", From::kParameters}};
constexpr Keyword kPortKeyKeywords[] = {
    {"credentials", From::kCredentials}, {"model", From::kModelId}, {"use_cache", From::kUseCache}};
constexpr Keyword kGatewayKeywords[] = {{"credentials", From::kCredentials}, {"use_cache", From::kUseCache}};
constexpr Keyword kCustomKeywords[] = {
    {"scoring_fn", From::kAttribute, "_scoring_fn"},
    {"model_name", From::kAttribute, "model_id", or_text("custom_fn")},
    {"context", From::kAttribute, "context", kOrNone},
    {"num_parallel_requests", From::kAttribute, "num_parallel_requests", or_integer(20)},
    {"use_cache", From::kUseCache},
};

// critwise's entries, per layout.
constexpr Entry kFullEntries[] = {Entry::kCredentials, Entry::kProvider, Entry::kModel, Entry::kProviderArgs};
constexpr Entry kProviderEntries[] = {Entry::kCredentials, Entry::kProvider, Entry::kModel};
constexpr Entry kModelFirstEntries[] = {Entry::kCredentials, Entry::kModel, Entry::kProvider,
                                        Entry::kProviderArgs};
constexpr Entry kGatewayEntries[] = {Entry::kCredentials, Entry::kModel};

constexpr CriteriaEngine kRefused{.refusal = kUnsupported};

// One row per kind of judge model.
constexpr Kind kKinds[] = {
    {"ZnAIFoundationModel",
     {.engine = kPlatformEngine,
      .keywords = kPlatformKeywords,
      .factory_key = "znai",
      .credentials = Credentials::kPlatform},
     {.engine = kCrossProviderEngine,
      .entries = kFullEntries,
      .credentials = Credentials::kPlatform,
      .provider = "zentrix-sdk",
      .args = ProviderArgs::kConcurrencyLimit}},
    {"OpenAIFoundationModel",
     {.engine = kOpenAIEngine,
      .keywords = kOpenAIKeywords,
      .factory_key = "openai",
      .credentials = Credentials::kDump},
     {.engine = kCrossProviderEngine,
      .entries = kFullEntries,
      .credentials = Credentials::kOpenAIKey,
      .provider = "open-ai",
      .args = ProviderArgs::kGeneration}},
    {"AzureOpenAIFoundationModel",
     {.engine = kAzureEngine,
      .keywords = kOpenAIKeywords,
      .factory_key = "azure_openai",
      .credentials = Credentials::kDumpByAlias},
     {.refusal = "Azure OpenAI Model provider is not supported."}},
    {"VertexAIFoundationModel",
     {.engine = kLiteLLMEngine,
      .keywords = kLiteLLMKeywords,
      .factory_key = "vertexai",
      .credentials = Credentials::kDump},
     {.engine = kCrossProviderEngine,
      .entries = kProviderEntries,
      .credentials = Credentials::kDump,
      .provider = "vertex-ai"}},
    {"GoogleAIStudioFoundationModel",
     {.engine = kLiteLLMEngine,
      .keywords = kLiteLLMKeywords,
      .factory_key = "google_ai_studio",
      .credentials = Credentials::kDump},
     {.engine = kGoogleStudioEngine, .entries = kGatewayEntries, .credentials = Credentials::kDump}},
    {"AWSBedrockFoundationModel",
     {.engine = kLiteLLMEngine,
      .keywords = kLiteLLMKeywords,
      .factory_key = "aws_bedrock",
      .credentials = Credentials::kDump,
      .sends_parameters = true},
     {.engine = kCrossProviderEngine,
      .entries = kModelFirstEntries,
      .credentials = Credentials::kDump,
      .provider = "aws",
      .args = ProviderArgs::kParameters,
      .seed = false}},
    {"CustomFoundationModel", {.engine = kCustomEngine, .keywords = kCustomKeywords}, kRefused},
    {"PortKeyGateway",
     {.engine = kPortKeyEngine,
      .keywords = kPortKeyKeywords,
      .factory_key = "portkey",
      .credentials = Credentials::kDump},
     {.engine = kPortKeyEngine, .entries = kGatewayEntries, .credentials = Credentials::kDump}},
    {"ZnoAIGateway",
     {.engine = kGatewayEngine,
      .keywords = kGatewayKeywords,
      .factory_key = "zno_gateway",
      .credentials = Credentials::kDump,
      .sends_model_id = false},
     kRefused},
};

// ---------------------------------------------------------------------------
// Reading the table.

const Kind* kind_of(const ModuleScope& scope, const py::object& model) {
  for (const Kind& kind : kKinds) {
    if (is_instance(model, scope.get(kind.record_type))) return &kind;
  }
  return nullptr;
}

// Raises UnsupportedJudgeModelError(message, **keywords).
[[noreturn]] void refuse(const ModuleScope& scope, const std::string& message, const py::dict& keywords) {
  raise_error(scope.get("UnsupportedJudgeModelError")(message, **keywords));
}

[[noreturn]] void refuse_model(const ModuleScope& scope, const std::string& message,
                               const py::object& model) {
  py::dict keywords;
  keywords["model_type"] = py::type::of(model);
  refuse(scope, message, keywords);
}

py::object provider_credentials(const py::object& model) {
  return model.attr(ZN_STR("provider")).attr(ZN_STR("credentials"));
}

// The credentials an engine of the AI platform receives for `model`, entries
// in this order: "url"; "api_key" when set; on a self-hosted platform (a
// version is set) "username", "instance_id" and "password" when set; then
// "project_id", or else "space_id".
py::dict platform_credentials(const ModuleScope& scope, const py::object& model) {
  py::object credentials = provider_credentials(model);
  py::dict result;
  result["url"] = credentials.attr(ZN_STR("url"));
  if (truthy(credentials.attr(ZN_STR("api_key")))) result["api_key"] = credentials.attr(ZN_STR("api_key"));
  if (truthy(credentials.attr(ZN_STR("version")))) {
    result["username"] = credentials.attr(ZN_STR("username"));
    result["instance_id"] = credentials.attr(ZN_STR("instance_id"));
    if (truthy(credentials.attr(ZN_STR("password"))))
      result["password"] = credentials.attr(ZN_STR("password"));
  }
  // Checked after the credentials are read: a record without credentials fails on them first.
  if (truthy(model.attr(ZN_STR("project_id")))) {
    result["project_id"] = model.attr(ZN_STR("project_id"));
  } else if (truthy(model.attr(ZN_STR("space_id")))) {
    result["space_id"] = model.attr(ZN_STR("space_id"));
  } else {
    raise_error(scope.get("ProjectOrSpaceRequiredError")("Either project or space id is required",
                                                         "model"_a = model));
  }
  return result;
}

// An OpenAI judge's credentials: the key, and for an OpenAI-compatible
// endpoint its base URL. The engine reaches the model through litellm,
// which would otherwise send the key to OpenAI's own address and refuse
// model names it does not know.
py::dict openai_key(const py::object& model) {
  py::object credentials = provider_credentials(model);
  py::dict result;
  result["api_key"] = credentials.attr(ZN_STR("api_key"));
  py::object base_url = attribute_or(credentials, "api_url", py::none());
  if (truthy(base_url)) {
    result["api_base"] = base_url;
    result["custom_llm_provider"] = "openai";
  }
  return result;
}

py::object credentials_of(const ModuleScope& scope, Credentials how, const py::object& model) {
  switch (how) {
    case Credentials::kNone:
      return py::none();
    case Credentials::kDump:
      return provider_credentials(model).attr(ZN_STR("model_dump"))();
    case Credentials::kDumpByAlias:
      return provider_credentials(model).attr(ZN_STR("model_dump"))("by_alias"_a = true);
    case Credentials::kPlatform:
      return platform_credentials(scope, model);
    case Credentials::kOpenAIKey:
      return openai_key(model);
  }
  return py::none();
}

// The record's `parameters`, or a new empty dictionary when they are empty.
py::object parameters_or_empty(const py::object& model) {
  py::object parameters = model.attr(ZN_STR("parameters"));
  return truthy(parameters) ? parameters : py::dict();
}

py::object fallback_value(const Fallback& fallback) {
  switch (fallback.kind) {
    case Fallback::Kind::kRequired:
      return py::object();
    case Fallback::Kind::kNone:
      return py::none();
    case Fallback::Kind::kText:
      return py::str(fallback.text);
    case Fallback::Kind::kInteger:
      return py::int_(fallback.integer);
  }
  return py::object();
}

// What an engine is built from.
struct EngineInputs {
  py::object model_id{};
  bool use_cache = false;
  py::object credentials{};
  py::object parameters{};  // a dictionary, or none
  py::object model{};       // the record, for From::kAttribute
};

py::object build_engine(const ModuleScope& scope, const TemplateEngine& recipe, const EngineInputs& inputs) {
  py::object engine = scope.get(recipe.engine.name);
  py::dict kwargs;
  for (const Keyword& keyword : recipe.keywords) {
    switch (keyword.from) {
      case From::kCredentials:
        kwargs[keyword.name] = inputs.credentials;
        break;
      case From::kModelId:
        kwargs[keyword.name] = inputs.model_id;
        break;
      case From::kUseCache:
        kwargs[keyword.name] = py::bool_(inputs.use_cache);
        break;
      case From::kAttribute: {
        py::object fallback = fallback_value(keyword.fallback);
        kwargs[keyword.name] = fallback ? attribute_or(inputs.model, keyword.attribute, fallback)
                                        : py::object(inputs.model.attr(keyword.attribute));
        break;
      }
      case From::kParameters:
        if (!inputs.parameters || inputs.parameters.is_none()) break;
        for (auto [key, value] : py::dict(inputs.parameters)) {
          // As a Python call with a repeated keyword would: refuse rather than overwrite.
          if (contains(kwargs, key)) {
            raise(PyExc_TypeError, to_text(py::getattr(engine, "__name__", py::str("engine"))) +
                                       "() got multiple values for keyword argument '" + to_text(key) + "'");
          }
          kwargs[key] = value;
        }
        break;
    }
  }
  return call_kw(engine, kwargs);
}

py::str sorted_json(const ModuleScope& scope, py::handle value) {
  return scope.get("json").attr(ZN_STR("dumps"))(value, "sort_keys"_a = true);
}

py::object provider_args(const ModuleScope& scope, ProviderArgs args, const py::object& model) {
  switch (args) {
    case ProviderArgs::kConcurrencyLimit: {
      py::dict limit;
      limit["concurrency_limit"] = scope.get("get_zentrix_concurrency_limit")();
      return limit;
    }
    case ProviderArgs::kGeneration: {
      py::dict generation;
      generation["temperature"] = 0;
      py::object parameters = attribute_or(model, "parameters", py::none());
      if (truthy(parameters)) generation.attr(ZN_STR("update"))(parameters);
      return generation;
    }
    case ProviderArgs::kParameters:
      return parameters_or_empty(model);
  }
  return py::dict();
}

template <typename Engine>
LazyEngines lazy_engines(std::span<const char* const> bound, Engine engine_of) {
  LazyEngines lazy;
  std::vector<std::pair<std::string, std::string>> by_module;  // module, names
  for (const Kind& kind : kKinds) {
    const EngineClass& engine = engine_of(kind);
    if (engine.name == nullptr) continue;
    const std::string_view name = engine.name;
    bool known = false;
    for (const char* other : bound) known = known || name == other;
    for (const char* other : lazy.names) known = known || name == other;
    if (known) continue;
    lazy.names.push_back(engine.name);
    auto group = std::find_if(by_module.begin(), by_module.end(),
                              [&engine](const auto& entry) { return entry.first == engine.module; });
    if (group == by_module.end()) {
      by_module.emplace_back(engine.module, engine.name);
    } else {
      group->second.append(", ").append(engine.name);
    }
  }
  for (const auto& [module, names] : by_module) {
    std::string statement = "from ";
    statement.append(module).append(" import ").append(names);
    lazy.statements.push_back(std::move(statement));
  }
  return lazy;
}

}  // namespace

std::span<const Kind> kinds() {
  return kKinds;
}

std::vector<ImportedName> imports() {
  std::vector<ImportedName> names;
  for (const Kind& kind : kKinds) names.push_back({kind.record_type, kRecordModule, kind.record_type});
  for (const char* error : {"UnsupportedJudgeModelError", "ProjectOrSpaceRequiredError"}) {
    names.push_back({error, "zentrix_gov.entities.errors", error});
  }
  return names;
}

LazyEngines template_engines(std::span<const char* const> bound) {
  return lazy_engines(bound,
                      [](const Kind& kind) -> const EngineClass& { return kind.template_engine.engine; });
}

LazyEngines criteria_engines(std::span<const char* const> bound) {
  return lazy_engines(bound,
                      [](const Kind& kind) -> const EngineClass& { return kind.criteria_engine.engine; });
}

py::object template_engine(const ModuleScope& scope, const py::object& model, bool use_cache,
                           const py::object& factory) {
  const Kind* kind = kind_of(scope, model);
  if (kind == nullptr || kind->template_engine.engine.name == nullptr)
    refuse_model(scope, kUnsupported, model);
  const TemplateEngine& recipe = kind->template_engine;
  if (recipe.factory_key == nullptr) {
    // Never cached: built from the record's own objects (a custom model's
    // scoring function is the user's own).
    return build_engine(scope, recipe, {.use_cache = use_cache, .model = model});
  }
  py::object credentials = credentials_of(scope, recipe.credentials, model);
  py::dict kwargs;
  kwargs["provider"] = recipe.factory_key;
  // Read only for kinds that send it: not every record has a model id.
  kwargs["model_id"] = recipe.sends_model_id ? py::object(model.attr(ZN_STR("model_id"))) : py::str("");
  kwargs["use_cache"] = use_cache;
  kwargs["credentials_json"] = sorted_json(scope, credentials);
  if (recipe.sends_parameters) kwargs["parameters_json"] = sorted_json(scope, parameters_or_empty(model));
  return call_kw(factory, kwargs);
}

py::object factory_engine(const ModuleScope& scope, const py::object& provider, const py::object& model_id,
                          bool use_cache, const py::object& credentials, const py::object& parameters) {
  for (const Kind& kind : kKinds) {
    const TemplateEngine& recipe = kind.template_engine;
    if (recipe.factory_key == nullptr || !is_text(provider, recipe.factory_key)) continue;
    return build_engine(
        scope, recipe,
        {.model_id = model_id, .use_cache = use_cache, .credentials = credentials, .parameters = parameters});
  }
  py::dict keywords;
  keywords["provider"] = provider;
  refuse(scope, "LLM Model provider '" + to_text(provider) + "' is not supported.", keywords);
}

py::dict criteria_parameters(const ModuleScope& scope, const py::object& model) {
  py::dict params;
  params["seed"] = 36;
  py::list policy;
  policy.append(py::str("public"));
  params["data_classification_policy"] = policy;

  const Kind* kind = kind_of(scope, model);
  if (kind == nullptr) refuse_model(scope, kUnsupported, model);
  const CriteriaEngine& recipe = kind->criteria_engine;
  if (recipe.refusal != nullptr) refuse_model(scope, recipe.refusal, model);
  for (Entry entry : recipe.entries) {
    switch (entry) {
      case Entry::kCredentials:
        params["credentials"] = credentials_of(scope, recipe.credentials, model);
        break;
      case Entry::kProvider:
        params["provider"] = recipe.provider;
        break;
      case Entry::kModel:
        params["model"] = model.attr(ZN_STR("model_id"));
        break;
      case Entry::kProviderArgs: {
        py::dict by_provider;
        by_provider[recipe.provider] = provider_args(scope, recipe.args, model);
        params["provider_specific_args"] = by_provider;
        break;
      }
    }
  }
  if (!recipe.seed) dict_delete(params, "seed");
  return params;
}

const char* criteria_engine_class(const ModuleScope& scope, const py::object& llm_judge) {
  if (truthy(llm_judge)) {
    const Kind* kind = kind_of(scope, llm_judge.attr(ZN_STR("model")));
    if (kind != nullptr && kind->criteria_engine.engine.name != nullptr)
      return kind->criteria_engine.engine.name;
  }
  return kCrossProviderEngine.name;
}

}  // namespace zcore::judges
