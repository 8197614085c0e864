// bindings.cpp: the extension module trelvak._trelvak. It takes the upper triangle of a matrix
// as 0-based compressed rows (the Python package makes them from scipy.sparse), copies it into
// the solver's 1-based layout, and runs the factorization, the application and the solve with
// the GIL released.
//
// Interrupts: a check installed at import lets the factorization and the solver driver poll
// for a pending signal. On the interpreter's main thread it takes the GIL at most every 20 ms
// and runs the Python signal handlers; when one raises (KeyboardInterrupt for Ctrl-C), the work
// ends with trelvak::Interrupted, unwinding through the owners of its buffers, and the binding
// raises the handler's exception. Work on other threads is not interrupted (Python delivers
// signals to the main thread only).
//
// Fatal stops of the system (allocation failures, an inconsistent level list) throw instead of
// ending the process: MemoryError or RuntimeError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "common/interrupt.h"
#include "common/lanes.h"
#include "python/src/engine.h"

namespace py = pybind11;

namespace trelvak::python {
namespace {

using Array  = py::array_t<double, py::array::f_style | py::array::forcecast>;
using Index  = py::array_t<int, py::array::c_style | py::array::forcecast>;
using Values = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---- Interrupts -------------------------------------------------------------------------------

std::atomic<unsigned long> main_thread{0};

// The exception a signal handler raised during a check, kept until the binding raises it.
// Touched on the main thread only.
struct Pending {
    PyObject* type  = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
};
Pending pending;

bool python_interrupt_check() {
    if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    static Clock::time_point last{};
    const Clock::time_point now = Clock::now();
    if (now - last < std::chrono::milliseconds(20)) {
        return false;
    }
    last = now;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) {
        return false;
    }
    Py_XDECREF(pending.type);
    Py_XDECREF(pending.value);
    Py_XDECREF(pending.trace);
    PyErr_Fetch(&pending.type, &pending.value, &pending.trace);
    return true;
}

// With the GIL held: raises the exception of the signal handler, or KeyboardInterrupt.
[[noreturn]] void raise_interrupt() {
    if (pending.type != nullptr) {
        PyErr_Restore(pending.type, pending.value, pending.trace);
        pending = Pending{};
    } else {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    throw py::error_already_set();
}

// Runs work with the GIL released; an interrupt becomes the handler's exception.
template <class Work>
auto released(Work&& work) {
    try {
        py::gil_scoped_release release;
        return work();
    } catch (const Interrupted&) {
        raise_interrupt();
    }
}

// ---- Conversions ------------------------------------------------------------------------------

// The solver's record of the upper triangle given as 0-based compressed rows, after checking
// that the arrays describe one: n+1 ascending row pointers from 0, columns i..n-1 in row i.
cli::UpperMatrix upper_from(int n, const Index& indptr, const Index& indices, const Values& data) {
    if (n < 0 || indptr.ndim() != 1 || indices.ndim() != 1 || data.ndim() != 1 ||
        indptr.shape(0) != n + 1 || indices.shape(0) != data.shape(0)) {
        throw std::invalid_argument("inconsistent compressed-row arrays.");
    }
    const int* p  = indptr.data();
    const int* j  = indices.data();
    const long nz = static_cast<long>(indices.shape(0));
    if (p[0] != 0 || p[n] != nz) {
        throw std::invalid_argument("inconsistent compressed-row arrays.");
    }
    cli::UpperMatrix A;
    A.n = n;
    A.ia.resize(static_cast<size_t>(n) + 1);
    A.ja.resize(static_cast<size_t>(nz));
    A.a.assign(data.data(), data.data() + nz);
    for (int i = 0; i < n; ++i) {
        if (p[i + 1] < p[i]) {
            throw std::invalid_argument("row pointers must not decrease.");
        }
        for (int k = p[i]; k < p[i + 1]; ++k) {
            if (j[k] < i || j[k] >= n || (k > p[i] && j[k] <= j[k - 1])) {
                throw std::invalid_argument(
                    "the rows must hold the upper triangle with ascending, distinct columns.");
            }
            A.ja[static_cast<size_t>(k)] = j[k] + 1;
        }
    }
    for (int i = 0; i <= n; ++i) {
        A.ia[static_cast<size_t>(i)] = p[i] + 1;
    }
    return A;
}

// An option value from Python: text, or a real number (bool, int, float and numpy scalars).
OptionValue option_value(const std::string& key, const py::handle& v) {
    if (py::isinstance<py::str>(v)) {
        return v.cast<std::string>();
    }
    PyObject* o       = v.ptr();
    const bool number = PyLong_Check(o) || PyFloat_Check(o) || PyIndex_Check(o) ||
                        py::isinstance(v, py::module_::import("numpy").attr("floating"));
    if (!number) {
        throw OptionError("option " + key + " must be a real number or a text, not " +
                          std::string(py::str(py::type::of(v).attr("__name__"))) + ".");
    }
    const double value = PyFloat_AsDouble(o);
    if (value == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return value;
}

OptionList option_list(const py::dict& options) {
    OptionList list;
    for (const auto& item : options) {
        if (!py::isinstance<py::str>(item.first)) {
            throw OptionError("option keys must be texts.");
        }
        const std::string key = item.first.cast<std::string>();
        list.emplace_back(key, option_value(key, item.second));
        check_option(key, list.back().second);
    }
    return list;
}

py::dict option_dict(const OptionList& list) {
    py::dict d;
    for (const auto& [key, value] : list) {
        const OptionField* f = find_option_field(key.c_str());
        if (f->kind == OptionField::kText) {
            d[key.c_str()] = std::get<std::string>(value);
        } else if (f->kind == OptionField::kInt) {
            d[key.c_str()] = static_cast<long>(std::get<double>(value));
        } else {
            d[key.c_str()] = std::get<double>(value);
        }
    }
    return d;
}

py::dict factor_info_dict(const FactorInfo& info) {
    py::dict d;
    d["n"]           = info.n;
    d["nlev"]        = info.nlev;
    d["nnz_input"]   = info.nnz_input;
    d["nnz_stored"]  = info.nnz_stored;
    d["fill"]        = info.fill;
    d["perturbed"]   = info.perturbed;
    d["probe"]       = info.probe;
    d["steadied"]    = info.steadied;
    d["steadied_by"] = info.steadied_by;
    d["droptol"]     = info.droptol;
    d["droptolS"]    = info.droptolS;
    d["condest"]     = info.condest;
    d["cpu_time"]    = info.seconds;
    d["setup_time"]  = info.wall_seconds;
    d["passes"]      = info.passes;
    py::list levels;
    for (const LevelTimes& t : info.level_times) {
        py::dict l;
        l["n"]            = t.n;
        l["dense"]        = t.dense;
        l["reorder"]      = t.reorder;
        l["factor"]       = t.factor;
        l["schur"]        = t.schur;
        l["dense_factor"] = t.dense_factor;
        l["total"]        = t.total;
        levels.append(l);
    }
    d["level_times"] = levels;
    return d;
}

// ---- The factorization object ----------------------------------------------------------------

std::unique_ptr<Factorization> make_factorization(int n, const Index& indptr, const Index& indices,
                                                  const Values& data, const py::dict& options) {
    const OptionList list    = option_list(options);
    const cli::UpperMatrix A = upper_from(n, indptr, indices, data);
    return released([&] { return std::make_unique<Factorization>(A, list); });
}

void require_live(const Factorization& f) {
    if (f.released()) {
        throw std::logic_error("the preconditioner has been released (close() was called).");
    }
}

// y = M^-1 x for x of shape (n,) or (n, k); the result has x's shape.
py::array apply(Factorization& f, const Array& x) {
    require_live(f);
    const py::ssize_t n = f.n();
    if (x.ndim() < 1 || x.ndim() > 2 || x.shape(0) != n) {
        throw std::invalid_argument("x must have shape (" + std::to_string(n) + ",) or (" +
                                    std::to_string(n) + ", k).");
    }
    const py::ssize_t k = x.ndim() == 2 ? x.shape(1) : 1;
    const double* in    = x.data();
    for (py::ssize_t i = 0; i < n * k; ++i) {
        if (!std::isfinite(in[i])) {
            throw std::invalid_argument("x must be finite (it holds NaN or Inf).");
        }
    }
    Array y(x.ndim() == 2 ? std::vector<py::ssize_t>{n, k} : std::vector<py::ssize_t>{n});
    double* out = y.mutable_data();
    released([&] {
        const std::lock_guard<std::mutex> hold(f.lock());
        require_live(f);
        f.apply(in, out, static_cast<int>(k));
        return 0;
    });
    return y;
}

void release_factorization(Factorization& f) {
    released([&] {
        const std::lock_guard<std::mutex> hold(f.lock());
        f.release();
        return 0;
    });
}

// ---- The one-call solve ----------------------------------------------------------------------

py::tuple solve_system(int n, const Index& indptr, const Index& indices, const Values& data,
                       const Array& B, const py::object& X0, const py::dict& options,
                       bool fallback) {
    const OptionList list = option_list(options);
    if (B.ndim() != 2 || B.shape(0) != n) {
        throw std::invalid_argument("b must have shape (n, m).");
    }
    const int m = static_cast<int>(B.shape(1));
    Array x0;
    if (!X0.is_none()) {
        x0 = X0.cast<Array>();
        if (x0.ndim() != 2 || x0.shape(0) != n || x0.shape(1) != m) {
            throw std::invalid_argument("x0 must have the shape of b.");
        }
    }
    const cli::UpperMatrix A = upper_from(n, indptr, indices, data);
    Array X(std::vector<py::ssize_t>{n, m});
    const double* b   = B.data();
    const double* x0p = X0.is_none() ? nullptr : x0.data();
    double* x         = X.mutable_data();
    const SolveReport r =
        released([&] { return trelvak::python::solve(A, list, fallback, b, x0p, m, x); });
    py::dict info;
    info["niter"]         = r.niter;
    info["relres"]        = r.relres;
    info["watched"]       = r.watched;
    info["fallback_used"] = r.fallback_used;
    info["nlev"]          = r.nlev;
    info["fill"]          = r.fill;
    info["perturbed"]     = r.perturbed;
    info["fallback_fill"] =
        r.fallback_fill < 0.0 ? py::object(py::none()) : py::object(py::float_(r.fallback_fill));
    info["setup_time"] = r.setup_seconds;
    info["solve_time"] = r.solve_seconds;
    info["factor"]     = factor_info_dict(r.factor_info);
    info["options"]    = option_dict(r.options);
    return py::make_tuple(X, info);
}

}  // namespace
}  // namespace trelvak::python

PYBIND11_MODULE(_trelvak, m) {
    using namespace trelvak::python;
    m.doc() = "TRELVAK's C++ core; use the trelvak package instead.";

    install_fatal_handler();
    main_thread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    trelvak::set_interrupt_check(python_interrupt_check);

    static py::exception<FactorError> factor_error(m, "FactorizationError", PyExc_RuntimeError);
    static py::exception<SolveError> solve_error(m, "SolveError", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const OptionError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const FactorError& e) {
            factor_error(e.what());
        } catch (const SolveError& e) {
            solve_error(e.what());
        } catch (const trelvak::FatalStop& e) {
            PyErr_SetString(e.channel() == FATAL_STDERR ? PyExc_MemoryError : PyExc_RuntimeError,
                            e.what());
        } catch (const std::logic_error& e) {  // also std::invalid_argument
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    m.def(
        "default_options",
        [] {
            std::unique_ptr<ParameterRecord, void (*)(ParameterRecord*)> p(
                trelvak::create_parameters(), trelvak::release_parameters);
            return option_dict(options_of(*p));
        },
        "Every option key with its default value, in the order of DSYMtrelvakinit.");
    m.def(
        "check_options", [](const py::dict& options) { option_list(options); },
        "Raises ValueError naming the first unknown key or unacceptable value.");
    m.def("lane_count", &trelvak::lane_count,
          "Worker lanes of the kernels (TRELVAK_NUM_THREADS, else the cores, at most 4).");

    py::class_<Factorization>(m, "Factorization")
        .def(py::init(&make_factorization), py::arg("n"), py::arg("indptr"), py::arg("indices"),
             py::arg("data"), py::arg("options"))
        .def_property_readonly("n", &Factorization::n)
        .def_property_readonly("released", &Factorization::released)
        .def_property_readonly("info",
                               [](const Factorization& f) {
                                   require_live(f);
                                   return factor_info_dict(f.info());
                               })
        .def_property_readonly("options",
                               [](const Factorization& f) {
                                   require_live(f);
                                   return option_dict(options_of(f.param()));
                               })
        .def("apply", &apply, py::arg("x"))
        .def("release", &release_factorization);

    m.def("solve", &solve_system, py::arg("n"), py::arg("indptr"), py::arg("indices"),
          py::arg("data"), py::arg("b"), py::arg("x0"), py::arg("options"), py::arg("fallback"));
}
