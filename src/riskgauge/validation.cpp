#include <string>

#include "riskgauge/riskgauge.hpp"

namespace riskgauge {

void check_if_model_id_is_valid(const py::object& model_id, const py::object& znai_client) {
  using namespace pybind11::literals;
  py::object manager = scope().get("FoundationModelsManager")(znai_client);
  py::object get_model_specs = manager.attr(ZN_STR("get_model_specs"));
  py::object found = get_model_specs("model_id"_a = model_id);
  if (zcore::truthy(found)) return;

  py::object listing = get_model_specs("get_all"_a = true);
  py::list available;
  for (py::handle entry : py::iter(listing[ZN_STR("resources")])) {
    available.append(entry[ZN_STR("model_id")]);
  }
  zcore::raise_error(
      scope().get("UnsupportedModelIdError")("The Model ID provided is not supported for your environment. "
                                             "Here is a list of the available models: " +
                                                 zcore::to_text(available),
                                             "model_id"_a = model_id, "available"_a = available));
}

}  // namespace riskgauge
