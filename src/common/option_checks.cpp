// option_checks.cpp: what a user may give for each option, checked where options come in (the
// tool's flags and the Octave options structure) so that a mistyped or meaningless value is
// refused with its name instead of changing the method silently.
//
// Numbers. Every value must be finite. The ranges follow from what each control means:
//   droptol, droptolS   >= 0      drop tolerances (0 keeps every entry)
//   condest             >= 1      bound on the norm of the inverse factors
//   elbow               > 0       stored entries of all levels relative to those of A
//   restol              (0, 1)    relative residual the solve must reach
//   damping             > 0       damping of the Jacobi smoother
//   lfil, lfilS         >= 0      entries kept per row (0: no cap)
//   maxit               >= 1      iteration limit (the methods read 0 as "no limit": a solve
//                                 that does not converge would never end)
//   npresmoothing, npostmoothing >= 0, ncoarse >= 1, nrestart >= 0 (below 2: 15)
//   matching            0 or 1    off or on
// Texts. A text is accepted when it begins with one of its key's keywords over the keyword's
// length, the rule by which the solver mode and the setup mode select from them.
#include "common/option_checks.h"

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace trelvak {
namespace {

struct NumberRule {
    const char* key;
    double low;
    bool low_open;  // value must exceed low (else: at least low)
    double high;
    bool high_open;
    const char* meaning;
};

constexpr double kNone = HUGE_VAL;

constexpr NumberRule number_rules[] = {
    {"droptol", 0.0, false, kNone, false, "a drop tolerance >= 0"},
    {"droptolS", 0.0, false, kNone, false, "a drop tolerance >= 0"},
    {"condest", 1.0, false, kNone, false, "a bound >= 1 on the inverse factors"},
    {"elbow", 0.0, true, kNone, false, "a memory factor > 0"},
    {"restol", 0.0, true, 1.0, true, "a relative tolerance in (0, 1)"},
    {"damping", 0.0, true, kNone, false, "a damping factor > 0"},
    {"lfil", 0.0, false, kNone, false, "an entry count >= 0 (0: no cap)"},
    {"lfilS", 0.0, false, kNone, false, "an entry count >= 0 (0: no cap)"},
    {"maxit", 1.0, false, kNone, false, "an iteration limit >= 1"},
    {"npresmoothing", 0.0, false, kNone, false, "a step count >= 0"},
    {"npostmoothing", 0.0, false, kNone, false, "a step count >= 0"},
    {"ncoarse", 1.0, false, kNone, false, "a count >= 1"},
    {"nrestart", 0.0, false, kNone, false, "a restart length >= 0"},
    {"matching", 0.0, false, 1.0, false, "0 (off) or 1 (on)"},
};

struct TextRule {
    const char* key;
    std::vector<const char*> keywords;
};

const std::vector<TextRule>& text_rules() {
    static const std::vector<TextRule> rules = {
        {"amg", {"ilu", "amli", "mg"}},
        {"presmoother", {"gsf", "gsb", "j", "ilu"}},
        {"postsmoother", {"gsf", "gsb", "j", "ilu"}},
        {"typecoarse", {"ilu", "amg"}},
        {"typetv", {"none", "static", "dynamic"}},
        {"FCpart", {"yes", "none"}},
        {"solver", {"sqmr", "sbcg", "bcg", "gmres", "fgmres"}},
        {"ordering", {"amd", "metisn", "metise", "rcm", "amf", "mmd", "none", "pp"}},
    };
    return rules;
}

std::string number_text(double value) {
    std::ostringstream s;
    s.precision(6);
    s << value;
    return s.str();
}

}  // namespace

std::string option_number_error(const std::string& key, double value) {
    for (const NumberRule& r : number_rules) {
        if (key != r.key) {
            continue;
        }
        const bool above = r.low_open ? value > r.low : value >= r.low;
        const bool below = r.high_open ? value < r.high : value <= r.high;
        if (std::isfinite(value) && above && below &&
            (std::strcmp(r.key, "matching") != 0 || value == 0.0 || value == 1.0)) {
            return "";
        }
        return "option " + key + " = " + number_text(value) + " is not accepted: it must be " +
               r.meaning + ".";
    }
    return "";
}

std::string option_keywords(const std::string& key) {
    for (const TextRule& r : text_rules()) {
        if (key == r.key) {
            std::string list;
            for (const char* k : r.keywords) {
                list += (list.empty() ? "" : ", ") + std::string(k);
            }
            return list;
        }
    }
    return "";
}

std::string option_text_error(const std::string& key, const std::string& text) {
    for (const TextRule& r : text_rules()) {
        if (key != r.key) {
            continue;
        }
        for (const char* k : r.keywords) {
            if (text.compare(0, std::strlen(k), k) == 0) {
                return "";
            }
        }
        return "option " + key + " = \"" + text + "\" is not known: it must be one of " +
               option_keywords(key) + ".";
    }
    return "";
}

}  // namespace trelvak
