#include <optional>

#include "core/async_context.hpp"
#include "detectwire/detectwire.hpp"

namespace detectwire {

namespace {

using namespace pybind11::literals;

py::dict request_error(const py::object& code, const py::object& message) {
  py::dict failure;
  failure["error"] = scope().get("Error")("code"_a = py::str(code), "message_en"_a = py::str(message));
  return failure;
}

}  // namespace

py::dict get_headers(const py::object& self) {
  py::object token =
      scope().get("get_authenticator_token")(self.attr(ZN_ID(evs_client)).attr(ZN_ID(authenticator)));
  py::dict headers;
  headers["Content-Type"] = "application/json";
  headers["Authorization"] = py::str("Bearer ") + py::str(token);
  headers["x-governance-instance-id"] = self.attr(ZN_ID(service_instance_id));
  headers["origin"] = "sdk";
  return headers;
}

zcore::Coro send_with_retries(py::object self, py::object payload, py::object session) {
  const long attempts = self.attr(ZN_ID(RETRY_COUNT)).cast<long>();
  for (long attempt = 0; attempt < attempts; ++attempt) {
    py::object outcome;
    bool retry = false;
    try {
      py::object request = session.attr(ZN_ID(post))("url"_a = self.attr(ZN_ID(base_url)),
                                                     "headers"_a = self.attr("_Detectwire__get_headers")(),
                                                     "data"_a = payload, "ssl"_a = self.attr(ZN_ID(verify)));
      zcore::AsyncContext context(request);
      py::object response = co_await context.enter();
      std::optional<py::error_already_set> failure;
      try {
        py::object status = response.attr(ZN_ID(status));
        py::object body = co_await response.attr(ZN_ID(text))();
        py::object loads = scope().get("json").attr(ZN_ID(loads));
        if (status.equal(py::int_(200))) {
          outcome = loads(body);
        } else if (self.attr(ZN_ID(RETRY_AFTER_STATUS_CODES)).contains(status) && attempt < attempts - 1) {
          // Back off while still holding the response, then try again.
          py::object delay = py::object(self.attr(ZN_ID(BACK_OFF_FACTOR))) * py::int_(1L << attempt);
          co_await scope().get("asyncio").attr(ZN_ID(sleep))(delay);
          retry = true;
        } else {
          outcome = request_error(status, loads(body));
        }
      } catch (py::error_already_set& error) {
        failure = error;
      }
      if (!zcore::truthy(co_await context.exit(failure))) zcore::rethrow(failure);
    } catch (py::error_already_set& error) {
      if (!zcore::is_ordinary(error)) throw;
      outcome = request_error(py::str("REQUEST_FAILED"), error.value());
    }
    if (!retry) co_return outcome;
  }
  co_return py::none();
}

zcore::Coro compute_metric(py::object self, py::list api_payloads) {
  zcore::AsyncContext context(scope().get("aiohttp").attr(ZN_ID(ClientSession))());
  py::object session = co_await context.enter();
  py::object responses;
  std::optional<py::error_already_set> failure;
  try {
    py::list requests;
    for (py::handle payload : api_payloads)
      requests.append(self.attr(ZN_ID(send_with_retries))(payload, session));
    responses = co_await scope().get("asyncio").attr(ZN_ID(gather))(*requests, "return_exceptions"_a = true);
  } catch (py::error_already_set& error) {
    failure = error;
  }
  if (!zcore::truthy(co_await context.exit(failure))) zcore::rethrow(failure);
  co_return py::list(responses);
}

}  // namespace detectwire
