// option_checks.h: checks of option values given by a user (the tool's flags, the Octave options
// structure), made before anything is changed. Each returns "" when the value is accepted, else
// one sentence that names the key, the value and what is accepted. Numbers must be finite;
// integer keys are judged on the value they receive (the caller truncates or requires integers).
// Texts must begin with one of the key's keywords, compared case-sensitively over the keyword's
// length, as the solver and the factorization read them: an unknown text would otherwise fall
// back silently to another method or to no reordering. Names that are not option keys pass.
#ifndef TRELVAK_COMMON_OPTION_CHECKS_H
#define TRELVAK_COMMON_OPTION_CHECKS_H

#include <string>

namespace trelvak {

std::string option_number_error(const std::string& key, double value);
std::string option_text_error(const std::string& key, const std::string& text);
// The keywords a text key accepts, comma-separated ("" for a key that is not a text key).
std::string option_keywords(const std::string& key);

}  // namespace trelvak

#endif  // TRELVAK_COMMON_OPTION_CHECKS_H
