// The kinds of judge model, in one table read by both judge providers.
//
// For each kind of foundation-model record the table says which inference
// engine the template-library provider (scorewell) builds and with which
// keyword arguments, and which engine and parameter dictionary the
// criteria-judge provider (critwise) uses, or that it refuses the kind. The
// providers keep their own operations and module-level names; they ask this
// table what to build, and every class it names (record types, engine
// classes, errors) is read from the provider's module when used, so callers
// can still rebind or mock.patch each one.
//
// Adding a kind is adding one row to `kKinds` in judge_kinds.cpp (and, when
// its engine takes keywords in a new layout, one keyword list next to it).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/pyhelpers.hpp"

namespace zcore::judges {

namespace py = pybind11;

// Where the value of an engine keyword comes from.
enum class From : std::uint8_t {
  kCredentials,  // the credential mapping
  kModelId,      // the model id handed to the factory
  kUseCache,     // the cache switch, as a bool
  kParameters,   // each entry of the engine parameters as a keyword of its own
  kAttribute,    // an attribute of the model record, with a fallback when it has none
};

// What a missing attribute stands for (From::kAttribute).
struct Fallback {
  enum class Kind : std::uint8_t { kRequired, kNone, kText, kInteger };
  Kind kind = Kind::kRequired;
  const char* text = nullptr;
  long long integer = 0;
};
constexpr Fallback kRequired{};
constexpr Fallback kOrNone{.kind = Fallback::Kind::kNone};
constexpr Fallback or_text(const char* text) {
  return {.kind = Fallback::Kind::kText, .text = text};
}
constexpr Fallback or_integer(long long integer) {
  return {.kind = Fallback::Kind::kInteger, .integer = integer};
}

struct Keyword {
  const char* name;
  From from;
  const char* attribute = nullptr;  // From::kAttribute
  Fallback fallback = kRequired;
};

// How a kind's credentials become the mapping an engine receives.
enum class Credentials : std::uint8_t {
  kNone,         // no credentials
  kDump,         // `model.provider.credentials.model_dump()`
  kDumpByAlias,  // the same under the fields' aliases (`by_alias=True`)
  kPlatform,     // the AI platform's mapping, with its project-or-space check
  kOpenAIKey,    // {"api_key"}, and for an OpenAI-compatible address "api_base"
                 // with "custom_llm_provider" "openai"
};

// An engine class: a module attribute bound on first use from `module`.
struct EngineClass {
  const char* name = nullptr;
  const char* module = nullptr;
};

// scorewell: the judge's inference engine.
struct TemplateEngine {
  EngineClass engine{};  // no name: scorewell does not serve the kind
  std::span<const Keyword> keywords{};
  // The memoised factory's provider key; none: built anew at every call and
  // never cached (from the model record's own attributes).
  const char* factory_key = nullptr;
  Credentials credentials = Credentials::kNone;
  bool sends_model_id = true;     // false: the factory is handed "" as the model id
  bool sends_parameters = false;  // the record's `parameters` (or {}) as parameters_json
};

// The entries a kind adds to critwise's parameter dictionary after "seed"
// and "data_classification_policy", in their order.
enum class Entry : std::uint8_t { kCredentials, kProvider, kModel, kProviderArgs };

// What "provider_specific_args" holds under the provider's name.
enum class ProviderArgs : std::uint8_t {
  kConcurrencyLimit,  // {"concurrency_limit": get_zentrix_concurrency_limit()}
  kGeneration,        // {"temperature": 0}, with the record's `parameters`, if any, merged over it
  kParameters,        // the record's `parameters`, or a new empty dictionary
};

// critwise: the engine under the DirectJudge and its parameters.
struct CriteriaEngine {
  const char* refusal = nullptr;  // the kind is refused with this message
  EngineClass engine{};
  std::span<const Entry> entries{};
  Credentials credentials = Credentials::kNone;
  const char* provider = nullptr;  // the "provider" entry, and the key of "provider_specific_args"
  ProviderArgs args = ProviderArgs::kParameters;
  bool seed = true;  // false: "seed" is removed
};

struct Kind {
  const char* record_type;  // a class of zentrix_gov.entities.foundation_model
  TemplateEngine template_engine;
  CriteriaEngine criteria_engine;
};

// The kinds, in the order a record is tested against them; the first one it
// is an instance of decides.
std::span<const Kind> kinds();

// The module-level names a judge provider binds for the table: the record
// types and the errors the table raises.
std::vector<ImportedName> imports();

// The engine classes of one provider that are neither in `bound` (names the
// provider binds from its own lazily loaded modules) nor repeated, as import
// statements, one per module ("from M import A, B"), and the names.
struct LazyEngines {
  std::vector<std::string> statements;
  std::vector<const char*> names;
};
LazyEngines template_engines(std::span<const char* const> bound);
LazyEngines criteria_engines(std::span<const char* const> bound);

// scorewell: the judge's engine for `model`. Engines with a factory key come
// from `factory` (the memoised factory), called with keywords `provider`,
// `model_id`, `use_cache`, `credentials_json` and, for kinds that send their
// parameters, `parameters_json` (texts of sorted-key JSON); the others are
// built here. A record of no kind is refused with UnsupportedJudgeModelError
// (carrying `model_type`); a platform record without a project or space id
// with ProjectOrSpaceRequiredError (carrying `model`).
py::object template_engine(const ModuleScope& scope, const py::object& model, bool use_cache,
                           const py::object& factory);

// scorewell's factory: the engine for a provider key, from the decoded
// credentials and parameters. A key of no kind is refused with
// UnsupportedJudgeModelError (carrying `provider`).
py::object factory_engine(const ModuleScope& scope, const py::object& provider, const py::object& model_id,
                          bool use_cache, const py::object& credentials, const py::object& parameters);

// critwise: a new parameter dictionary for `model`'s engine. A record of no
// kind, or of a kind critwise refuses, is refused with
// UnsupportedJudgeModelError; a platform record without a project or space id
// with ProjectOrSpaceRequiredError.
py::dict criteria_parameters(const ModuleScope& scope, const py::object& model);

// critwise: the engine class (a module attribute name) for `llm_judge`; the
// cross-provider engine for a judge of no kind, or no judge at all.
const char* criteria_engine_class(const ModuleScope& scope, const py::object& llm_judge);

}  // namespace zcore::judges
