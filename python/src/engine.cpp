// engine.cpp: options, the factorization object and the one-call solve of the Python module.
#include "python/src/engine.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>

#include "common/option_checks.h"
#include "krylov/krylov.h"
#include "precond/precond.h"
#include "solver/solver.h"

namespace trelvak::python {
namespace {

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string number_text(double value) {
    std::ostringstream s;
    s.precision(6);
    s << value;
    return s.str();
}

// "Option droptol = ..." from the checks' "option droptol = ...".
std::string sentence(std::string text) {
    if (!text.empty()) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
}

std::string known_keys() {
    std::string list;
    for (const OptionField& f : kOptionFields) {
        list += (list.empty() ? "" : ", ") + std::string(f.name);
    }
    return list;
}

struct ParametersDeleter {
    void operator()(ParameterRecord* p) const { release_parameters(p); }
};
struct LevelsDeleter {
    void operator()(LevelRecord* p) const { release_levels(p); }
};
using ParametersPtr = std::unique_ptr<ParameterRecord, ParametersDeleter>;
using LevelsPtr     = std::unique_ptr<LevelRecord, LevelsDeleter>;

// What a final status other than converged or the iteration limit means, for SolveError.
std::string status_cause(int status) {
    switch (status) {
        case -2:
            return "not enough workspace for the Krylov method (the system is too large for "
                   "32-bit work lengths).";
        case -3:
            return "the iterative method broke down; factor with a smaller droptol or try "
                   "solver='gmres'.";
        case -4:
            return "the tolerances are unusable: restol must lie in (0, 1).";
        case -9:
            return "a quantity the method divides by became infinite or NaN: the system may be "
                   "singular and inconsistent, or the preconditioner unstable; try "
                   "solver='gmres' or a smaller droptol.";
        case -10:
            return "the method stopped without meeting its stopping test and before its "
                   "iteration limit.";
        default:
            return "the iterative method ended with status " + std::to_string(status) + ".";
    }
}

}  // namespace

void install_fatal_handler() {
    trelvak_set_fatal_handler(throw_fatal_stop);
}

// ---- Options ----------------------------------------------------------------------------------

void check_option(const std::string& key, const OptionValue& value) {
    const OptionField* f = find_option_field(key.c_str());
    if (f == nullptr) {
        throw OptionError("unknown option '" + key + "'; the option keys are " + known_keys() +
                          ".");
    }
    if (f->kind == OptionField::kText) {
        const auto* text = std::get_if<std::string>(&value);
        if (text == nullptr) {
            throw OptionError("option " + key + " must be text (one of " + option_keywords(key) +
                              ").");
        }
        if (const std::string problem = option_text_error(key, *text); !problem.empty()) {
            throw OptionError(sentence(problem));
        }
        return;
    }
    const auto* number = std::get_if<double>(&value);
    if (number == nullptr) {
        throw OptionError("option " + key + " must be a real number, not text.");
    }
    if (f->kind == OptionField::kInt && std::isfinite(*number)) {
        if (*number != std::trunc(*number)) {
            throw OptionError("Option " + key + " = " + number_text(*number) +
                              " is not accepted: it must be a whole number.");
        }
        if (std::abs(*number) > static_cast<double>(INT_MAX)) {
            throw OptionError("Option " + key + " = " + number_text(*number) +
                              " is not accepted: it is beyond the range of a 32-bit integer.");
        }
    }
    if (const std::string problem = option_number_error(key, *number); !problem.empty()) {
        throw OptionError(sentence(problem));
    }
}

void apply_options(const OptionList& options, ParameterRecord* param) {
    for (const auto& [key, value] : options) {
        check_option(key, value);
    }
    for (const auto& [key, value] : options) {
        const OptionField* f = find_option_field(key.c_str());
        switch (f->kind) {
            case OptionField::kDouble:
                param->*f->real = std::get<double>(value);
                break;
            case OptionField::kInt:
                param->*f->integer = static_cast<int>(std::get<double>(value));
                break;
            case OptionField::kText:
                set_text(param, &(param->*f->text), std::get<std::string>(value).c_str());
                break;
        }
    }
}

OptionList options_of(const ParameterRecord& param) {
    OptionList list;
    for (const OptionField& f : kOptionFields) {
        switch (f.kind) {
            case OptionField::kDouble:
                list.emplace_back(f.name, param.*f.real);
                break;
            case OptionField::kInt:
                list.emplace_back(f.name, static_cast<double>(param.*f.integer));
                break;
            case OptionField::kText: {
                const char* text = param.*f.text;
                list.emplace_back(f.name, std::string(text ? text : ""));
                break;
            }
        }
    }
    return list;
}

// ---- Factorization ---------------------------------------------------------------------------

Factorization::Factorization(const cli::UpperMatrix& A, const OptionList& options) : n_(A.n) {
    ParametersPtr param(create_parameters());
    apply_options(options, param.get());
    cli::UpperMatrix copy = A;  // factor() reads A only; the copy keeps the caller's arrays apart
    LevelRecord* raw      = nullptr;
    const int code        = factor(copy.record(), param.get(), &raw, &info_);
    LevelsPtr levels(raw);
    if (code != 0 || !levels) {
        throw FactorError(code, info_.message.empty() ? "the factorization failed with code " +
                                                            std::to_string(code) + "."
                                                      : info_.message);
    }
    param_  = param.release();
    levels_ = levels.release();
}

Factorization::~Factorization() {
    release();
}

void Factorization::release() {
    release_levels(levels_);
    release_parameters(param_);
    levels_ = nullptr;
    param_  = nullptr;
    scratch_.clear();
    scratch_.shrink_to_fit();
}

void Factorization::apply(const double* x, double* y, int columns) {
    if (levels_ == nullptr) {
        throw std::logic_error("the preconditioner has been released.");
    }
    if (!usable_) {
        throw std::logic_error(
            "the preconditioner can no longer be used: a fatal error stopped an earlier "
            "application. Factor the matrix again.");
    }
    // Solver mode derives the cycle kind and the smoother codes the application reads, as the
    // driver does before each solve.
    SparseMatrix pattern{};
    pattern.nr = pattern.nc = n_;
    DSYMAMGsetupparameters(&pattern, param_, 1);
    const size_t n = static_cast<size_t>(n_);
    scratch_.resize(static_cast<size_t>(preconditioner_scratch(levels_, param_->ifact[10], n_)) +
                    n);
    double* scaled   = scratch_.data();
    double* work     = scratch_.data() + n;
    const double* rs = levels_->rowscale;
    const double* cs = levels_->colscale;
    for (int c = 0; c < columns; ++c) {
        const double* xc = x + c * n;
        double* yc       = y + c * n;
        for (size_t i = 0; i < n; ++i) {
            scaled[i] = rs[i] * xc[i];
        }
        try {
            DSYMAMGsol(levels_, param_, scaled, yc, work);
        } catch (const FatalStop& stop) {
            if (stop.channel() == FATAL_STDOUT) {
                usable_ = false;
            }
            throw;
        }
        for (size_t i = 0; i < n; ++i) {
            yc[i] *= cs[i];
        }
    }
}

// ---- The one-call solve ----------------------------------------------------------------------

SolveReport solve(const cli::UpperMatrix& A, const OptionList& options, bool fallback,
                  const double* B, const double* X0, int m, double* X) {
    SolveReport report;
    const double t0 = wall_seconds();
    ParametersPtr param(create_parameters());
    apply_options(options, param.get());

    cli::UpperMatrix work              = A;  // the driver scales its values in place
    const std::vector<double> pristine = A.a;
    LevelRecord* raw                   = nullptr;
    // One right-hand side from x = 0: the quick attempt's trial solves it (TrialSystem).
    TrialSystem trial;
    if (m == 1 && X0 == nullptr) {
        trial.b = B;
    }
    const int code = factor(work.record(), param.get(), &raw, &report.factor_info, {}, &trial);
    LevelsPtr levels(raw);
    work.a = pristine;
    if (code != 0 || !levels) {
        const std::string& message = report.factor_info.message;
        throw FactorError(code, message.empty() ? "the factorization failed with code " +
                                                      std::to_string(code) + "."
                                                : message);
    }
    report.setup_seconds = wall_seconds() - t0;
    report.nlev          = report.factor_info.nlev;
    report.fill          = report.factor_info.fill;
    report.perturbed     = report.factor_info.perturbed;

    const size_t n = static_cast<size_t>(A.n);
    cli::Fallback crude;
    auto state = std::make_unique<krylov::SolveState>();
    cli::SolveSetup setup;
    setup.state = state.get();
    std::vector<double> b(n), x0, x;
    const double t1 = wall_seconds();
    for (int k = 0; k < m; ++k) {
        std::copy_n(B + static_cast<size_t>(k) * n, n, b.begin());
        if (X0 != nullptr) {
            x0.assign(X0 + static_cast<size_t>(k) * n, X0 + static_cast<size_t>(k + 1) * n);
            setup.x0 = &x0;
        }
        *state = krylov::SolveState{};
        const cli::SolveResult r =
            trial.solved ? cli::trial_solve(work, trial, b, &x, param->restol)
            : fallback ? cli::solve_with_fallback(work, pristine, levels.get(), param.get(), b, &x,
                                                  &crude, setup)
                       : cli::solve_once(work, pristine, levels.get(), param.get(), b, &x, setup);
        if (r.status != kConverged && r.status != kIterLimit) {
            throw SolveError(r.status, status_cause(r.status));
        }
        std::copy_n(x.begin(), n, X + static_cast<size_t>(k) * n);
        report.niter.push_back(r.iterations);
        report.relres.push_back(r.relres);
        report.watched.push_back(r.watched);
        report.fallback_used.push_back(r.fallback_used);
        report.switched_at.push_back(r.switched_at);
    }
    report.solve_seconds = wall_seconds() - t1 - crude.seconds;
    if (crude.tried) {
        report.setup_seconds += crude.seconds;
        if (crude.code == 0 && crude.levels != nullptr) {
            report.fallback_fill = crude.info.fill;
        }
    }
    report.options = options_of(*param);
    return report;
}

}  // namespace trelvak::python
