#include "core/judge_models.hpp"

#include "core/pyhelpers.hpp"

namespace zcore {

py::object credentials_dump(const py::object& model, bool by_alias) {
  py::object credentials = model.attr(ZN_STR("provider")).attr(ZN_STR("credentials"));
  if (!by_alias) return credentials.attr(ZN_STR("model_dump"))();
  py::dict keywords;
  keywords["by_alias"] = true;
  return credentials.attr(ZN_STR("model_dump"))(**keywords);
}

py::dict platform_credentials(const py::object& model) {
  py::object credentials = model.attr(ZN_STR("provider")).attr(ZN_STR("credentials"));
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
    raise(PyExc_Exception, "Either project or space id is required");
  }
  return result;
}

}  // namespace zcore
