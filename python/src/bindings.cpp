// bindings.cpp: the extension module trelvak._trelvak. It takes a symmetric matrix as canonical
// 0-based compressed rows (the Python package makes them from scipy.sparse), reads one triangle
// of it into the solver's 1-based layout (checking that the other agrees), and runs the
// factorization, the application and the solve with the GIL released.
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
#include <dlfcn.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
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

// ---- BLAS threads ----------------------------------------------------------------------------

// OpenBLAS runs on one thread while a call of ours runs, as in the tool and the Octave modules:
// our lanes are the threads. Left at numpy's default (a worker per core), the dense kernels of
// the last level wake OpenBLAS's workers, which then spin on a core for a while after each
// call: on helm2d_200 about half a core for the length of the solve, taken from the other jobs
// of the machine and from our own lanes. The count in force before is restored when the last of
// the calls running at once (on several Python threads) ends; meanwhile numpy's own BLAS calls
// on other threads run on one thread too.
//
// The library is numpy's as well (one OpenBLAS runtime per process). Its controls are looked up
// at run time, so that another BLAS library works too (then nothing is done); the lookup from
// here also sees the libraries this module was loaded with, which Python keeps out of the
// global scope.
class BlasOnOneThread {
public:
    BlasOnOneThread() {
        const Controls& c = controls();
        if (c.set == nullptr) {
            return;
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        if (active_++ == 0) {
            previous_ = c.get();
            if (previous_ > 1) {
                c.set(1);
            }
        }
    }
    ~BlasOnOneThread() {
        const Controls& c = controls();
        if (c.set == nullptr) {
            return;
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        if (--active_ == 0 && previous_ > 1) {
            c.set(previous_);
        }
    }
    BlasOnOneThread(const BlasOnOneThread&)            = delete;
    BlasOnOneThread& operator=(const BlasOnOneThread&) = delete;

private:
    struct Controls {
        void (*set)(int) = nullptr;
        int (*get)()     = nullptr;
    };
    static const Controls& controls() {
        static const Controls found = [] {
            Controls c;
            c.set =
                reinterpret_cast<void (*)(int)>(dlsym(RTLD_DEFAULT, "openblas_set_num_threads"));
            c.get = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads"));
            if (c.get == nullptr) {
                c.set = nullptr;
            }
            return c;
        }();
        return found;
    }
    static inline std::mutex mutex_;
    static inline int active_   = 0;
    static inline int previous_ = 0;
};

// Runs work with the GIL released and BLAS on one thread; an interrupt becomes the handler's
// exception.
template <class Work>
auto released(Work&& work) {
    try {
        py::gil_scoped_release release;
        const BlasOnOneThread blas;
        return work();
    } catch (const Interrupted&) {
        raise_interrupt();
    }
}

// ---- Conversions ------------------------------------------------------------------------------

// The matrix the core factors, made from the user's matrix: its upper triangle in the solver's
// 1-based layout, and the triangle of the user's matrix it was read from.
struct Triangle {
    cli::UpperMatrix A;
    std::string side;  // "lower" or "upper"
};

// The triangle read from a square matrix given by canonical 0-based compressed rows (columns
// ascending and distinct in each row): the lower one, transposed, unless the matrix holds
// nonzero entries above its diagonal only, then the upper one. Explicit zeros of the triangle
// read are kept. When both triangles hold nonzero entries they must agree:
// ||A - A^T||_F <= symmetry_tol ||A||_F, else std::invalid_argument. The work is a counting
// pass, one pass that places the entries and, with both triangles given, one merge of the two
// upper forms row by row.
Triangle triangle_of(int n, const Index& indptr, const Index& indices, const Values& data,
                     double symmetry_tol) {
    if (n < 1 || indptr.ndim() != 1 || indices.ndim() != 1 || data.ndim() != 1 ||
        indptr.shape(0) != n + 1 || indices.shape(0) != data.shape(0)) {
        throw std::invalid_argument("inconsistent compressed-row arrays.");
    }
    const int* p    = indptr.data();
    const int* j    = indices.data();
    const double* v = data.data();
    const long nz   = static_cast<long>(indices.shape(0));
    if (p[0] != 0 || p[n] != nz) {
        throw std::invalid_argument("inconsistent compressed-row arrays.");
    }
    const size_t un = static_cast<size_t>(n);
    // Entries of the lower triangle (with the diagonal) per column, of the upper one per row.
    std::vector<int> lower_count(un, 0), upper_count(un, 0);
    bool has_lower = false, has_upper = false;
    for (int i = 0; i < n; ++i) {
        if (p[i + 1] < p[i]) {
            throw std::invalid_argument("row pointers must not decrease.");
        }
        for (int k = p[i]; k < p[i + 1]; ++k) {
            if (j[k] < 0 || j[k] >= n || (k > p[i] && j[k] <= j[k - 1])) {
                throw std::invalid_argument(
                    "the rows must hold ascending, distinct columns in 0..n-1.");
            }
            if (j[k] <= i) {
                ++lower_count[static_cast<size_t>(j[k])];
                has_lower = has_lower || (j[k] < i && v[k] != 0.0);
            }
            if (j[k] >= i) {
                ++upper_count[static_cast<size_t>(i)];
                has_upper = has_upper || (j[k] > i && v[k] != 0.0);
            }
        }
    }
    Triangle t;
    t.side            = has_upper && !has_lower ? "upper" : "lower";
    t.A.n             = n;
    const auto& count = t.side == "upper" ? upper_count : lower_count;
    t.A.ia.assign(un + 1, 1);
    for (size_t r = 0; r < un; ++r) {
        t.A.ia[r + 1] = t.A.ia[r] + count[r];
    }
    const size_t stored = static_cast<size_t>(t.A.ia[un] - 1);
    t.A.ja.resize(stored);
    t.A.a.resize(stored);
    if (t.side == "upper") {
        size_t out = 0;
        for (int i = 0; i < n; ++i) {
            for (int k = p[i]; k < p[i + 1]; ++k) {
                if (j[k] >= i) {
                    t.A.ja[out] = j[k] + 1;
                    t.A.a[out]  = v[k];
                    ++out;
                }
            }
        }
    } else {
        // Row i of the lower triangle is column i of the upper one; rows taken in order leave
        // every upper row with ascending columns.
        std::vector<int> next(t.A.ia.begin(), t.A.ia.end() - 1);
        for (int i = 0; i < n; ++i) {
            for (int k = p[i]; k < p[i + 1] && j[k] <= i; ++k) {
                const size_t at = static_cast<size_t>(next[static_cast<size_t>(j[k])]++ - 1);
                t.A.ja[at]      = i + 1;
                t.A.a[at]       = v[k];
            }
        }
    }
    if (has_lower && has_upper) {
        // ||A - A^T||_F^2 = 2 sum over the upper triangle of (a_ij - a_ji)^2: row i of the upper
        // form read from the lower triangle against the upper part of row i.
        double gap = 0.0, norm = 0.0;
        for (long k = 0; k < nz; ++k) {
            norm += v[k] * v[k];
        }
        for (int i = 0; i < n; ++i) {
            int a       = t.A.ia[static_cast<size_t>(i)] - 1;
            const int e = t.A.ia[static_cast<size_t>(i) + 1] - 1;
            int b       = p[i];
            while (b < p[i + 1] && j[b] < i) {
                ++b;
            }
            while (a < e || b < p[i + 1]) {
                const int ca = a < e ? t.A.ja[static_cast<size_t>(a)] - 1 : n;
                const int cb = b < p[i + 1] ? j[b] : n;
                double d     = 0.0;
                if (ca == cb) {
                    d = t.A.a[static_cast<size_t>(a++)] - v[b++];
                } else if (ca < cb) {
                    d = t.A.a[static_cast<size_t>(a++)];
                } else {
                    d = v[b++];
                }
                gap += d * d;
            }
        }
        const double relative = std::sqrt(2.0 * gap), scale = std::sqrt(norm);
        if (relative > symmetry_tol * scale) {
            char text[300];
            std::snprintf(text, sizeof text,
                          "A is not symmetric: ||A - A^T||_F / ||A||_F = %.3g exceeds "
                          "symmetry_tol = %.3g. Give one triangle (the lower one is read when "
                          "both are given) or a symmetric matrix.",
                          relative / scale, symmetry_tol);
            throw std::invalid_argument(text);
        }
    }
    return t;
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
    d["quick"]       = info.quick;
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

std::unique_ptr<Factorization> make_factorization(const Triangle& t, const py::dict& options) {
    const OptionList list = option_list(options);
    return released([&] { return std::make_unique<Factorization>(t.A, list); });
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

py::tuple solve_system(const Triangle& t, const Array& B, const py::object& X0,
                       const py::dict& options, bool fallback) {
    const OptionList list = option_list(options);
    const py::ssize_t n   = t.A.n;
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
    Array X(std::vector<py::ssize_t>{n, m});
    const double* b   = B.data();
    const double* x0p = X0.is_none() ? nullptr : x0.data();
    double* x         = X.mutable_data();
    const SolveReport r =
        released([&] { return trelvak::python::solve(t.A, list, fallback, b, x0p, m, x); });
    py::dict info;
    info["niter"]         = r.niter;
    info["relres"]        = r.relres;
    info["watched"]       = r.watched;
    info["fallback_used"] = r.fallback_used;
    info["switched_at"]   = r.switched_at;
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

    py::class_<Triangle>(m, "Triangle")
        .def(py::init(&triangle_of), py::arg("n"), py::arg("indptr"), py::arg("indices"),
             py::arg("data"), py::arg("symmetry_tol"))
        .def_property_readonly("n", [](const Triangle& t) { return t.A.n; })
        .def_property_readonly("side", [](const Triangle& t) { return t.side; });

    py::class_<Factorization>(m, "Factorization")
        .def(py::init(&make_factorization), py::arg("matrix"), py::arg("options"))
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

    m.def("solve", &solve_system, py::arg("matrix"), py::arg("b"), py::arg("x0"),
          py::arg("options"), py::arg("fallback"));
}
