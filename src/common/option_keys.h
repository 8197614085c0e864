// option_keys.h: the twenty-two option keys of the options structure and the parameter record
// field each one sets, in the order of the defaults structure (DSYMtrelvakinit). The Octave
// options exchange and the Python module read and write the record through this one table.
// Double keys take the value as it is, int keys a whole number, text keys one of the keywords
// that common/option_checks.h lists for them.
#ifndef TRELVAK_COMMON_OPTION_KEYS_H
#define TRELVAK_COMMON_OPTION_KEYS_H

#include <cstring>

#include "common/trelvak.h"

namespace trelvak {

struct OptionField {
    enum Kind { kDouble, kInt, kText };
    const char* name;
    Kind kind;
    double ParameterRecord::*real      = nullptr;  // kDouble
    int ParameterRecord::*integer      = nullptr;  // kInt
    const char* ParameterRecord::*text = nullptr;  // kText
};

inline constexpr OptionField kOptionFields[] = {
    {"elbow", OptionField::kDouble, &ParameterRecord::elbow},
    {"lfilS", OptionField::kInt, nullptr, &ParameterRecord::lfilS},
    {"lfil", OptionField::kInt, nullptr, &ParameterRecord::lfil},
    {"maxit", OptionField::kInt, nullptr, &ParameterRecord::maxit},
    {"droptolS", OptionField::kDouble, &ParameterRecord::droptolS},
    {"droptol", OptionField::kDouble, &ParameterRecord::droptol},
    {"condest", OptionField::kDouble, &ParameterRecord::condest},
    {"restol", OptionField::kDouble, &ParameterRecord::restol},
    {"npresmoothing", OptionField::kInt, nullptr, &ParameterRecord::npresmoothing},
    {"npostmoothing", OptionField::kInt, nullptr, &ParameterRecord::npostmoothing},
    {"ncoarse", OptionField::kInt, nullptr, &ParameterRecord::ncoarse},
    {"matching", OptionField::kInt, nullptr, &ParameterRecord::matching},
    {"nrestart", OptionField::kInt, nullptr, &ParameterRecord::nrestart},
    {"damping", OptionField::kDouble, &ParameterRecord::damping},
    {"amg", OptionField::kText, nullptr, nullptr, &ParameterRecord::amg},
    {"presmoother", OptionField::kText, nullptr, nullptr, &ParameterRecord::presmoother},
    {"postsmoother", OptionField::kText, nullptr, nullptr, &ParameterRecord::postsmoother},
    {"typecoarse", OptionField::kText, nullptr, nullptr, &ParameterRecord::typecoarse},
    {"typetv", OptionField::kText, nullptr, nullptr, &ParameterRecord::typetv},
    {"FCpart", OptionField::kText, nullptr, nullptr, &ParameterRecord::FCpart},
    {"solver", OptionField::kText, nullptr, nullptr, &ParameterRecord::solver},
    {"ordering", OptionField::kText, nullptr, nullptr, &ParameterRecord::ordering},
};

// The field of key name (case-sensitive), or null when name is no option key.
inline const OptionField* find_option_field(const char* name) {
    for (const OptionField& f : kOptionFields) {
        if (std::strcmp(f.name, name) == 0) {
            return &f;
        }
    }
    return nullptr;
}

}  // namespace trelvak

#endif  // TRELVAK_COMMON_OPTION_KEYS_H
