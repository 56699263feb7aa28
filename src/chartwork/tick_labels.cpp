// Y tick labels without a minus sign on zero. The middle tick of a panel is the midpoint of its
// extremes; after the base value is subtracted that is zero give or take a rounding error, which
// the standard formatter prints as "−0.000" or "−0".
#include <string>

#include "chartwork/chartwork.hpp"

namespace lumoreq::chartwork {
namespace {

// The label with its minus removed when every digit in it is a zero.
std::string without_negative_zero(std::string text) {
    static const std::string kMinus = "\u2212";
    bool digit = false;
    for (char c : text) {
        if (c >= '1' && c <= '9') return text;
        if (c == '0') digit = true;
    }
    if (!digit) return text;
    if (auto at = text.find(kMinus); at != std::string::npos) return text.erase(at, kMinus.size());
    if (auto at = text.find('-'); at != std::string::npos) return text.erase(at, 1);
    return text;
}

}  // namespace

py::object signless_zero_formatter_class(py::module_& m) {
    py::object base = py::module_::import("matplotlib.ticker").attr("ScalarFormatter");
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__doc__"] = py::str("ScalarFormatter that writes a rounded-away negative zero without its sign.");
    py::object cls = py::module_::import("builtins").attr("type")("SignlessZeroFormatter", py::make_tuple(base), ns);
    py::object call = base.attr("__call__");
    py::setattr(cls, "__call__",
                py::cpp_function(
                    [call](py::object self, py::object x, py::object pos) {
                        py::object label = call(self, x, pos);
                        if (!py::isinstance<py::str>(label)) return label;
                        return py::object(py::str(without_negative_zero(label.cast<std::string>())));
                    },
                    py::name("__call__"), py::is_method(cls), py::arg("x"), py::arg("pos") = py::none()));
    return cls;
}

}  // namespace lumoreq::chartwork
