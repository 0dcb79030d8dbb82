#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "core/async_context.hpp"
#include "detectwire/detectwire.hpp"

namespace detectwire {

namespace {

using namespace pybind11::literals;

// How much of a reply body that is not JSON an error message repeats.
constexpr Py_ssize_t kBodyExcerpt = 200;

py::dict request_error(const py::handle& code, const py::handle& message) {
  py::dict failure;
  failure["error"] = scope().get("Error")("code"_a = py::str(code), "message_en"_a = py::str(message));
  return failure;
}

// The reply body decoded from JSON. A body that is not JSON fails with a
// message that keeps the status and the start of the body, which the
// decoder's own message ("Expecting value: line 1 column 1") would lose.
py::object decode_reply(const py::object& status, const py::object& body) {
  try {
    return scope().get("json").attr(ZN_STR("loads"))(body);
  } catch (py::error_already_set& error) {
    if (!zcore::is_ordinary(error)) throw;
    py::object excerpt = py::str(" ").attr("join")(body[py::slice(0, kBodyExcerpt, 1)].attr("split")());
    zcore::raise_from(error, PyExc_ValueError,
                      "The service answered " + zcore::to_text(status) + " with a body that is not JSON (" +
                          zcore::to_text(error.value()) + "): " + zcore::to_text(excerpt));
  }
}

// The text of a failed request: the exception's own, or, for exceptions
// that carry none (time-outs above all), what failed and how.
py::str failure_text(const py::object& self, const py::object& session, const py::error_already_set& error) {
  py::str text(error.value());
  if (py::len(text) > 0) return text;
  const std::string url = zcore::to_text(self.attr(ZN_STR("base_url")));
  if (error.matches(PyExc_TimeoutError)) {
    py::object limit = session.attr(ZN_STR("timeout")).attr(ZN_STR("total"));
    if (limit.is_none()) return py::str("The request to " + url + " timed out.");
    return py::str("The request to " + url + " timed out after " + zcore::formatted(limit) + " seconds.");
  }
  return py::str(zcore::to_text(py::type::of(error.value()).attr(ZN_STR("__name__"))) +
                 " while sending the request to " + url + ".");
}

// Sends the payloads whose index it takes from `next`, one at a time, into
// `responses`. An ordinary exception that escapes send_with_retries takes
// its record's place; cancellation and interrupts end the worker.
zcore::Coro send_worker(py::object self, py::object session, py::list payloads, py::list responses,
                        std::shared_ptr<std::size_t> next) {
  const std::size_t count = py::len(payloads);
  for (std::size_t index = (*next)++; index < count; index = (*next)++) {
    py::object response;
    try {
      response = co_await self.attr(ZN_STR("send_with_retries"))(payloads[index], session);
    } catch (py::error_already_set& error) {
      if (!zcore::is_ordinary(error)) throw;
      response = error.value();
    }
    responses[index] = response;
  }
  co_return py::none();
}

// How many requests may be in flight: the session connector's limit, or
// every request at once when it has none.
std::size_t worker_count(const py::object& session, std::size_t requests) {
  const auto limit = session.attr(ZN_STR("connector")).attr(ZN_STR("limit")).cast<std::size_t>();
  return limit > 0 && limit < requests ? limit : requests;
}

// The evaluation's own session, closed when it ends; or, when a run shares one
// session among its units (run_session gives one), that session, left open.
py::object open_session(const py::object& self) {
  py::object timeout = self.attr(ZN_STR("REQUEST_TIMEOUT"));
  py::object shared = scope().get("run_session")(timeout);
  if (!shared.is_none()) return shared;
  py::object aiohttp = scope().get("aiohttp");
  py::dict options;
  if (!timeout.is_none()) options["timeout"] = aiohttp.attr(ZN_STR("ClientTimeout"))("total"_a = timeout);
  // The request hooks of a traced run (HTTP client spans); None otherwise.
  py::object trace_configs = scope().get("trace_configs")();
  if (!trace_configs.is_none()) options["trace_configs"] = trace_configs;
  return zcore::call_kw(aiohttp.attr(ZN_STR("ClientSession")), options);
}

}  // namespace

py::dict get_headers(const py::object& self) {
  py::object token =
      scope().get("get_authenticator_token")(self.attr(ZN_STR("evs_client")).attr(ZN_STR("authenticator")));
  py::dict headers;
  headers["Content-Type"] = "application/json";
  headers["Authorization"] = py::str("Bearer ") + py::str(token);
  headers["x-governance-instance-id"] = self.attr(ZN_STR("service_instance_id"));
  headers["origin"] = "sdk";
  return headers;
}

zcore::Coro send_with_retries(py::object self, py::object payload, py::object session) {
  const long attempts = self.attr(ZN_STR("RETRY_COUNT")).cast<long>();
  for (long attempt = 0; attempt < attempts; ++attempt) {
    py::object outcome;
    bool retry = false;
    try {
      zcore::AsyncContext request(session.attr(ZN_STR("post"))(
          "url"_a = self.attr(ZN_STR("base_url")), "headers"_a = self.attr("_Detectwire__get_headers")(),
          "data"_a = payload, "ssl"_a = self.attr(ZN_STR("verify"))));
      py::object response = co_await request.enter();
      std::optional<py::error_already_set> failure;
      try {
        py::object status = response.attr(ZN_STR("status"));
        py::object body = co_await response.attr(ZN_STR("text"))();
        if (status.equal(py::int_(200))) {
          outcome = decode_reply(status, body);
        } else if (zcore::contains(self.attr(ZN_STR("RETRY_AFTER_STATUS_CODES")), status) &&
                   attempt < attempts - 1) {
          // Back off while still holding the response, then try again.
          py::object delay = py::object(self.attr(ZN_STR("BACK_OFF_FACTOR"))) * py::int_(1L << attempt);
          co_await scope().get("asyncio").attr(ZN_STR("sleep"))(delay);
          retry = true;
        } else {
          outcome = request_error(status, decode_reply(status, body));
        }
      } catch (...) {
        failure = zcore::current_error();
      }
      zcore::AsyncContext::finish(co_await request.exit(failure), failure);
    } catch (py::error_already_set& error) {
      if (!zcore::is_ordinary(error)) throw;
      outcome = request_error(py::str("REQUEST_FAILED"), failure_text(self, session, error));
    }
    if (!retry) co_return outcome;
  }
  co_return py::none();
}

zcore::Coro compute_metric(py::object self, py::list api_payloads) {
  zcore::AsyncContext context(open_session(self));
  py::object session = co_await context.enter();
  const std::size_t count = py::len(api_payloads);
  py::list responses(count);
  for (std::size_t index = 0; index < count; ++index) responses[index] = py::none();
  std::optional<py::error_already_set> failure;
  try {
    // A pool as large as the connection limit keeps that many requests in
    // flight; the rest wait as payloads, not as live coroutines and tasks.
    auto next = std::make_shared<std::size_t>(0);
    py::list workers;
    for (std::size_t worker = worker_count(session, count); worker > 0; --worker) {
      workers.append(zcore::to_python(send_worker(self, session, api_payloads, responses, next),
                                      ZN_STR("Detectwire.send_worker")));
    }
    if (count > 0) co_await scope().get("asyncio").attr(ZN_STR("gather"))(*workers);
  } catch (...) {
    failure = zcore::current_error();
  }
  zcore::AsyncContext::finish(co_await context.exit(failure), failure);
  co_return std::move(responses);
}

}  // namespace detectwire
