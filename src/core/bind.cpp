#include "core/bind.hpp"

namespace zcore {

py::object make_class(const py::module_& module, const char* name, const char* doc,
                      const py::dict& attributes) {
  attributes["__module__"] = module.attr("__name__");
  attributes["__qualname__"] = name;
  attributes["__doc__"] = doc;
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, py::tuple(), attributes);
}

py::str method_qualname(const py::object& cls, const char* name) {
  const std::string owner = cls.attr("__qualname__").cast<std::string>();
  std::string_view method(name);
  // Undo name mangling: "_Owner__name" is spelt "__name" in the source.
  const std::string mangled_prefix = "_" + owner + "__";
  if (method.starts_with(mangled_prefix)) method.remove_prefix(mangled_prefix.size() - 2);
  const std::string qualname = owner + "." + std::string(method);
  return py::reinterpret_borrow<py::str>(intern(qualname.c_str()));
}

}  // namespace zcore
