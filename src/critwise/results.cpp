// Verdicts into results: one record result per record with the chosen
// option's score, the judge's explanation and feedback and, when asked for,
// the token counts of the judge's prompt and raw answer.
//
// A verdict the judge library could not parse from the model's answer is
// one it filled in with a randomly chosen option. Such a record carries an
// error and no value, so it never counts as a score.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/records.hpp"
#include "critwise/critwise.hpp"

using namespace pybind11::literals;

namespace critwise {

namespace {

constexpr const char* kUnparsedCode = "UNPARSEABLE_VERDICT";
constexpr size_t kQuotedAnswer = 200;

// Counts the tokens of a value's text form. Text that spells a special token
// ("<|endoftext|>") is counted as ordinary text: `encode` would refuse it.
class TokenCounter {
 public:
  explicit TokenCounter(const py::object& encoding) : encode_(encoding.attr(ZN_STR("encode_ordinary"))) {}

  // None for no tokens.
  py::object count(py::handle value) const {
    py::object tokens = encode_(py::str(value));
    const size_t length = py::len(tokens);
    if (length == 0) return py::none();
    return py::int_(length);
  }

 private:
  py::object encode_;
};

py::object or_none(py::object value) {
  return zcore::truthy(value) ? std::move(value) : py::none();
}

bool generation_failed(const py::object& metadata) {
  return zcore::truthy(metadata.attr(ZN_STR("get"))(ZN_STR("generation_failed")));
}

// The record error of a verdict the judge library could not read: an answer
// that never came or came empty (the engine's failure text) under its own
// code, anything else as UNPARSEABLE_VERDICT quoting the answer. Returns the
// code and the error.
std::pair<std::string, py::object> unparsed_error(const py::object& metadata) {
  py::object answers = scope().get("judge_answers");
  py::object raw = metadata.attr(ZN_STR("get"))(py::str("unparsed_response"), py::str(""));
  py::object failure = answers.attr("read_failure")(raw);
  if (!failure.is_none()) {
    py::tuple error = answers.attr("failure_error")(*failure);
    std::string code = zcore::to_text(error[0]);
    return {code, scope().get("Error")("code"_a = error[0], "message_en"_a = error[1])};
  }
  std::string answer = zcore::to_text(raw);
  if (answer.size() > kQuotedAnswer) {
    // Cut at a character boundary of the UTF-8 text.
    size_t cut = kQuotedAnswer;
    while (cut > 0 && (static_cast<unsigned char>(answer[cut]) & 0xC0U) == 0x80U) --cut;
    answer = answer.substr(0, cut) + "...";
  }
  return {
      kUnparsedCode,
      scope().get("Error")(
          "code"_a = kUnparsedCode,
          "message_en"_a = "The judge's answer could not be read as a verdict, even after asking the model "
                           "to repair it; the record has no value. The answer was: " +
                           answer)};
}

// The aggregate's error for `lost` of `total` records lost to `code`.
py::object lost_error(const std::string& code, size_t lost, size_t total) {
  std::string message;
  if (code == kUnparsedCode) {
    message =
        std::to_string(lost) + " of " + std::to_string(total) +
        " judge verdicts could not be read from the model's answers; those records have no value and are "
        "left out of the aggregate.";
  } else {
    message = zcore::to_text(scope().get("judge_answers").attr("lost_message")(code, lost, total));
  }
  return scope().get("Error")("code"_a = code, "message_en"_a = message);
}

}  // namespace

py::object post_process(const py::object& self, const py::object& results, const py::object& data) {
  py::list record_results;
  const bool counting = zcore::truthy(self.attr(ZN_STR("compute_token_count")));
  std::optional<TokenCounter> counter;
  if (counting) {
    py::object encoding = scope().get("tiktoken").attr(ZN_STR("get_encoding"))(py::str("cl100k_base"));
    self.attr(ZN_STR("encoding")) = encoding;
    counter.emplace(encoding);
  }
  py::object input_tokens = py::none();
  py::object output_tokens = py::none();

  py::dict score_map;
  for (py::handle option : self.attr(ZN_STR("options"))) {
    score_map[option.attr(ZN_STR("name"))] = option.attr(ZN_STR("value"));
  }

  // The fields every record result starts with.
  py::dict identity;
  identity["name"] = self.attr(ZN_STR("metric_name"));
  identity["display_name"] = self.attr(ZN_STR("display_name"));
  identity["method"] = self.attr(ZN_STR("metric_method"));
  identity["group"] = self.attr(ZN_STR("metric_group"));
  identity["provider"] = scope().get("EvaluationProvider").attr(ZN_STR("UNITXT")).attr(ZN_STR("value"));
  identity["thresholds"] = self.attr(ZN_STR("thresholds"));
  const zcore::GcPause pause;
  zcore::RecordBatch batch(scope().get("RecordMetricResult"), identity);

  py::list record_ids = data[self.attr(ZN_STR("record_id_field"))].attr(ZN_STR("tolist"))();
  py::list timestamps = data[self.attr(ZN_STR("record_timestamp_field"))].attr(ZN_STR("tolist"))();
  const size_t rows = std::min(record_ids.size(), timestamps.size());
  // Records without a value, per error code, in order of first occurrence.
  std::vector<std::pair<std::string, size_t>> lost;
  size_t row = 0;
  // As zip() would: stop at the end of the shortest of the three.
  for (py::handle verdict : results) {
    if (row >= rows) break;
    py::object metadata = verdict.attr(ZN_STR("metadata"));
    if (counter) {
      input_tokens = counter->count(metadata[ZN_STR("prompt")]);
      output_tokens = counter->count(metadata[ZN_STR("unparsed_response")]);
    }
    py::object selected = verdict.attr(ZN_STR("selected_option"));
    py::object explanation = verdict.attr(ZN_STR("explanation"));
    py::object feedback = verdict.attr(ZN_STR("feedback"));

    py::dict fields;
    fields[ZN_STR("record_id")] = record_ids[row];
    fields[ZN_STR("record_timestamp")] = timestamps[row];
    py::object shown_feedback = py::none();
    if (generation_failed(metadata)) {
      auto [code, error] = unparsed_error(metadata);
      auto counted =
          std::find_if(lost.begin(), lost.end(), [&code](const auto& entry) { return entry.first == code; });
      if (counted == lost.end()) {
        lost.emplace_back(code, 1);
      } else {
        ++counted->second;
      }
      py::list errors;
      errors.append(error);
      fields[ZN_STR("errors")] = errors;
    } else {
      fields[ZN_STR("value")] = zcore::dict_get(score_map, selected, py::none());
      fields[ZN_STR("label")] = selected;
      fields[ZN_STR("explanation")] = explanation;
      shown_feedback = or_none(feedback);
    }
    py::dict additional_info;
    additional_info[ZN_STR("feedback")] = shown_feedback;
    additional_info[ZN_STR("input_tokens")] = or_none(input_tokens);
    additional_info[ZN_STR("output_tokens")] = or_none(output_tokens);
    fields[ZN_STR("additional_info")] = additional_info;
    record_results.append(batch.make(fields));
    ++row;
  }

  py::object aggregate = scope().get("AggregateMetricResult").attr(ZN_STR("create"))(record_results);
  if (lost.empty()) return aggregate;
  // The counts of discarded verdicts ("N of M ..."), before any errors of the records themselves.
  py::list errors;
  for (const auto& [code, count] : lost) errors.append(lost_error(code, count, row));
  py::object earlier = aggregate.attr(ZN_STR("errors"));
  if (!earlier.is_none()) {
    for (py::handle error : earlier) errors.append(error);
  }
  py::dict update;
  update["errors"] = errors;
  return aggregate.attr(ZN_STR("model_copy"))("update"_a = update);
}

}  // namespace critwise
